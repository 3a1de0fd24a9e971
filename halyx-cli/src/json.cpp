#include "json.hpp"

#include <array>
#include <charconv>

namespace halyx::cli {
namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Returns the length of the well-formed UTF-8 sequence that starts text[i], or 0 when the byte
// there starts none: a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, or a sequence cut short.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  // The second byte's range is narrower than 80..BF after E0, ED, F0 and F4: that is where
  // overlong forms, surrogates and values past U+10FFFF would begin.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (length > text.size() - i) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
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
        out += HEX_DIGITS[c >> 4];
        out += HEX_DIGITS[c & 0xF];
    }
    ++i;
  }
  out += '"';
}

void append_hex_string(std::string& out, ByteView bytes) {
  const std::size_t at = out.size();
  out.resize(at + 2 + 2 * bytes.size());
  char* p = out.data() + at;
  *p++ = '"';
  for (const std::uint8_t b : bytes) {
    *p++ = HEX_DIGITS[b >> 4];
    *p++ = HEX_DIGITS[b & 0xF];
  }
  *p = '"';
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
