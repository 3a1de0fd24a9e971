// json.hpp: JSON text for the verifier's machine-readable output, one object per line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halyx::cli {

// Returns `text` as a JSON string literal. Quotes, backslashes and control characters are escaped;
// well-formed UTF-8 is kept as it is. Each byte that does not belong to a well-formed UTF-8
// sequence becomes U+FFFD, so the result is valid JSON whatever bytes `text` holds.
[[nodiscard]] std::string json_string(std::string_view text);

// Returns a JSON array of `elements`, each already JSON text.
[[nodiscard]] std::string json_array(std::span<const std::string> elements);

// Builds one JSON object, members in the order they are added, in the layout of
// {"leaf_index": 5, "tree_size": 8}. Integers are written in full: JSON sets no width, and a
// timestamp of 2^64 - 1 must read back as itself.
class JsonObject {
 public:
  JsonObject& number(std::string_view key, std::uint64_t value);
  JsonObject& text(std::string_view key, std::string_view value);
  JsonObject& boolean(std::string_view key, bool value);
  JsonObject& json(std::string_view key, std::string_view value);  // `value` is already JSON text

  // Returns the object's text, closed.
  [[nodiscard]] std::string str() const { return body_ + '}'; }

 private:
  void open_member(std::string_view key);
  std::string body_ = "{";
};

}  // namespace halyx::cli
