// test_util.hpp: small helpers shared by the dcbor tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace dcbor::test {

// Returns the bytes spelled by `hex`; spaces are ignored.
inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += DIGITS[b >> 4];
    out += DIGITS[b & 15];
  }
  return out;
}

inline std::string read_data_file(const std::string& name) {
  std::ifstream in(std::string(DCBOR_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Appends the UTF-8 form of a code point (surrogates included, for negative tests).
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

inline std::string utf8(std::initializer_list<char32_t> cps) {
  std::string out;
  for (char32_t cp : cps) append_utf8(out, cp);
  return out;
}

}  // namespace dcbor::test
