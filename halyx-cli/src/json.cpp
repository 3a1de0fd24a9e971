#include "json.hpp"

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

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
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
        if (c < 0x20) {
          out += "\\u00";
          out += HEX_DIGITS[c >> 4];
          out += HEX_DIGITS[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string json_array(std::span<const std::string> elements) {
  std::string out = "[";
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) out += ", ";
    out += elements[i];
  }
  out += ']';
  return out;
}

void JsonObject::open_member(std::string_view key) {
  if (body_.size() > 1) body_ += ", ";
  body_ += json_string(key);
  body_ += ": ";
}

JsonObject& JsonObject::number(std::string_view key, std::uint64_t value) {
  open_member(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value) {
  open_member(key);
  body_ += json_string(value);
  return *this;
}

JsonObject& JsonObject::boolean(std::string_view key, bool value) {
  open_member(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::json(std::string_view key, std::string_view value) {
  open_member(key);
  body_ += value;
  return *this;
}

}  // namespace halyx::cli
