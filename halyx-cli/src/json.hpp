// json.hpp: JSON text for the verifier's machine-readable output, one object per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <halyx/bytes.hpp>

namespace halyx::cli {

// Appends `text` as a JSON string literal. Quotes, backslashes and control characters are escaped;
// well-formed UTF-8 is kept as it is. Each byte that does not belong to a well-formed UTF-8
// sequence becomes U+FFFD, so the result is valid JSON whatever bytes `text` holds.
void append_json_string(std::string& out, std::string_view text);

// Appends `bytes` as a JSON string of lower-case hex digits.
void append_hex_string(std::string& out, ByteView bytes);

// Appends one JSON object to a string the caller owns, members in the order they are added, in the
// layout of {"leaf_index": 5, "tree_size": 8}. Integers are written in full: JSON sets no width,
// and a timestamp of 2^64 - 1 must read back as itself. Nothing is allocated beyond the string's
// growth, so a writer per line costs nothing in a loop over millions.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(&out) { out_->push_back('{'); }

  JsonWriter& number(std::string_view key, std::uint64_t value);
  JsonWriter& text(std::string_view key, std::string_view value);
  JsonWriter& boolean(std::string_view key, bool value);
  JsonWriter& hex(std::string_view key, ByteView value);
  JsonWriter& json(std::string_view key, std::string_view value);  // `value` is already JSON text

  // Opens a member and returns the string, for a value the caller appends itself.
  std::string& member(std::string_view key);

  // Closes the object; the writer must not be used after.
  void close() { out_->push_back('}'); }

 private:
  std::string* out_;
  bool first_ = true;
};

}  // namespace halyx::cli
