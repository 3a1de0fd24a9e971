// inspect.hpp: a decoded record shown as JSON, for looking at what a file holds.
#pragma once

#include <expected>

#include <halyx/bytes.hpp>
#include "command_line.hpp"
#include "json.hpp"
#include "output.hpp"
#include <halyx/checked_sth.hpp>
#include <halyx/verification.hpp>

namespace halyx::cli {

// Writes the record of kind `kind` held in `bytes` to `out` as one JSON object: hashes and the log
// id in hex, extensions as type and hex data, the leaf's six fields, and for an STH or a leaf
// whether the bytes are the record's canonical encoding (with both lengths and a note when they
// are not), and for a key its length and the log id it derives. Nothing is written unless the whole record decodes, and an STH's extensions are
// written as they are read, so memory stays within a small multiple of `bytes` however many it
// holds. Errors: the decode failure as the verification would report it for that argument (the
// STH, proof or leaf decode stage, or the key's length), so its class and text are the verifier's
// own.
[[nodiscard]] std::expected<void, VerifyError> inspect_record(RecordKind kind, ByteView bytes, StdoutStream& out);

// Appends the six fields of `leaf`, as members of the object `object` is writing, in record order.
void add_leaf_fields(JsonWriter& object, const leaf::MtacLeaf& leaf);
// Appends the object of the six fields of a record read in place in its canonical form: the text
// JsonWriter(out), add_leaf_fields of its decoded leaf and close() write, written directly.
void append_leaf_object(std::string& out, const leaf::CanonicalLeafView& leaf);

// Appends what a verification established: leaf_index, tree_size, timestamp_ms, then the leaf's
// six fields, the values the signature covers.
void add_verified_fields(JsonWriter& object, const VerifiedLeaf& verified);

}  // namespace halyx::cli
