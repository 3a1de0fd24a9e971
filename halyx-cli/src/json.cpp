#include "json.hpp"

#include <array>
#include <charconv>

#include <halyx/dcbor/hex.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::cli {
namespace {

// Returns the length of the well-formed UTF-8 sequence that starts text[i], or 0 when the byte
// there starts none. A sequence is at most four bytes long, so the checker needs to see no more:
// the one at i is well formed exactly when the first fault of those bytes lies past it.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto lead = dcbor::utf8_lead(static_cast<unsigned char>(text[i]));
  if (!lead) return 0;
  const auto fault = dcbor::find_utf8_fault(text.substr(i, 4));
  if (fault && fault->valid_up_to == 0) return 0;
  return lead->continuations + std::size_t{1};
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    // Runs of plain characters are copied whole: most texts are nothing else.
    std::size_t plain = i;
    while (plain < text.size()) {
      const auto c = static_cast<unsigned char>(text[plain]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++plain;
    }
    out.append(text.substr(i, plain - i));
    i = plain;
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        dcbor::append_hex(out, std::span(&c, 1));
    }
    ++i;
  }
  out += '"';
}

void append_hex_string(std::string& out, ByteView bytes) {
  out.reserve(out.size() + 2 + 2 * bytes.size());
  out.push_back('"');
  dcbor::append_hex(out, bytes);
  out.push_back('"');
}

std::string& JsonWriter::member(std::string_view key) {
  if (!first_) out_->append(", ");
  first_ = false;
  append_json_string(*out_, key);
  out_->append(": ");
  return *out_;
}

JsonWriter& JsonWriter::number(std::string_view key, std::uint64_t value) {
  std::array<char, 20> digits{};  // 2^64 - 1 has 20
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  member(key).append(digits.data(), end);
  return *this;
}

JsonWriter& JsonWriter::text(std::string_view key, std::string_view value) {
  append_json_string(member(key), value);
  return *this;
}

JsonWriter& JsonWriter::boolean(std::string_view key, bool value) {
  member(key).append(value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::hex(std::string_view key, ByteView value) {
  append_hex_string(member(key), value);
  return *this;
}

JsonWriter& JsonWriter::json(std::string_view key, std::string_view value) {
  member(key).append(value);
  return *this;
}

}  // namespace halyx::cli
