// inspect.hpp: a decoded record shown as JSON, for looking at what a file holds.
#pragma once

#include <expected>
#include <string>

#include "bytes.hpp"
#include "command_line.hpp"
#include "verification.hpp"

namespace halyx::cli {

// Returns the record of kind `kind` held in `bytes` as one JSON object: hashes and the log id in
// hex, extensions as type and hex data, the leaf's six fields, and for an STH or a leaf whether
// the bytes are the record's canonical encoding (with both lengths and a note when they are not).
// Errors: the decode failure as the verification would report it for that argument (the STH,
// proof or leaf decode stage), so its class and text are the verifier's own.
[[nodiscard]] std::expected<std::string, VerifyError> inspect_record(RecordKind kind, ByteView bytes);

}  // namespace halyx::cli
