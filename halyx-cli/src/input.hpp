// input.hpp: reading one argument's bytes from a file, or from standard input for "-".
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "bytes.hpp"

namespace halyx::cli {

// The most one argument may hold. Real records are a few kilobytes; the bound keeps a device or
// an endless pipe (/dev/zero) from exhausting memory before anything is verified.
inline constexpr std::size_t MAX_INPUT_BYTES = std::size_t{64} << 20;

// Returns the whole content of `path`, or of standard input when `path` is "-". Errors: a reason
// for display ("No such file or directory", "is a directory", "larger than 64 MiB"), never a
// partial read.
[[nodiscard]] std::expected<ByteString, std::string> read_input(const std::string& path);

}  // namespace halyx::cli
