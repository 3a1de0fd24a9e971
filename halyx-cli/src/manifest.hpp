// manifest.hpp: one line of a batch manifest (JSON Lines), read in place.
//
//   {"id": "leaf-7", "leaf": "leaves/7.cbor", "proof": "proofs/7.bin"}
//   {"id": 8, "leaf_hex": "a66861...", "proof_hex": "831a00..."}
//
// Each line is one JSON object naming the leaf and the proof of one verification, each either by
// a file path or as hex. "id" is optional and is echoed in the line's result.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include <halyx/bytes.hpp>

namespace halyx::cli {

// The longest manifest line accepted, without its newline: the same bound as one input file.
inline constexpr std::size_t MAX_MANIFEST_LINE = std::size_t{64} << 20;

// A JSON string value as it stands in the line, between its quotes.
struct JsonText {
  std::string_view raw;  // escapes not yet applied
  bool escaped = false;  // whether `raw` holds a backslash
};

// Where one argument of the line comes from: a file path or hex digits.
struct ArgumentSource {
  JsonText text;
  bool is_hex = false;
  bool given = false;
};

// One manifest line: views into the line, valid while it is.
struct ManifestEntry {
  std::string_view id;  // the id's JSON text (a string with its quotes, or a number); empty if none
  bool id_is_string = false;
  ArgumentSource leaf;
  ArgumentSource proof;
};

// Returns the entry `line` holds: one JSON object, with exactly one of "leaf" and "leaf_hex", one
// of "proof" and "proof_hex" (strings), and optionally "id" (a string or a number). Errors: what is
// wrong, for display after the line's number (an unknown or repeated key, a value of the wrong
// kind, a missing argument, text after the object, JSON that is not well formed).
[[nodiscard]] std::expected<ManifestEntry, std::string> parse_manifest_line(std::string_view line);

// Replaces `out` with the string `text` stands for, escapes applied; a lone surrogate escape
// becomes U+FFFD. Errors: an escape JSON does not define, or a control character, which JSON
// strings must escape.
[[nodiscard]] std::expected<void, std::string> unescape(const JsonText& text, std::string& out);

// Replaces `out` with the bytes the hex digits of `text` (either case) stand for. Errors: an odd
// number of digits, or a character that is not a hex digit.
[[nodiscard]] std::expected<void, std::string> decode_hex(std::string_view text, ByteString& out);

}  // namespace halyx::cli
