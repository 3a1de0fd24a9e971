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

#include <halyx/dcbor/hex.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::dcbor::test {

// Returns the bytes spelled by `hex`; spaces are ignored.
inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : hex) {
    const int v = hex_digit_value(c);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

using dcbor::to_hex;

inline std::string read_data_file(const std::string& name) {
  std::ifstream in(std::string(DCBOR_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using dcbor::append_utf8;  // surrogates included, for negative tests

inline std::string utf8(std::initializer_list<char32_t> cps) {
  std::string out;
  for (char32_t cp : cps) append_utf8(out, cp);
  return out;
}

}  // namespace halyx::dcbor::test
