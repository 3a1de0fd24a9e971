// hex.hpp: the one hex codec of the project. It sits in the lowest layer so that every layer, its
// tests, the fuzz targets and the benchmarks read and write hex the same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halyx::dcbor {

// The value of each hex digit (either case), and -1 for every other byte: a table, since batch
// manifests are mostly hex and a branch per digit shows in their throughput.
inline constexpr std::array<std::int8_t, 256> HEX_DIGIT_VALUE = [] {
  std::array<std::int8_t, 256> t{};
  t.fill(-1);
  for (std::size_t i = 0; i < 10; ++i) t['0' + i] = static_cast<std::int8_t>(i);
  for (std::size_t i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<std::int8_t>(10 + i);
    t['A' + i] = static_cast<std::int8_t>(10 + i);
  }
  return t;
}();

// Returns the value of the hex digit `c` (either case), or -1 when it is none.
[[nodiscard]] constexpr int hex_digit_value(char c) noexcept { return HEX_DIGIT_VALUE[static_cast<unsigned char>(c)]; }

// Appends `bytes` as lower-case hex digits, two per byte.
inline void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  const std::size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* p = out.data() + at;
  for (const std::uint8_t b : bytes) {
    *p++ = DIGITS[b >> 4];
    *p++ = DIGITS[b & 0xF];
  }
}

// Returns `bytes` as lower-case hex digits.
[[nodiscard]] inline std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

enum class HexError {
  OddLength,    // an odd number of digits
  NotHexDigit,  // a character that is not a hex digit
};

// Replaces `out` with the bytes the hex digits of `text` (either case) stand for. Errors: HexError;
// `out` then holds no meaning. `out` grows to half of `text`, which the caller already holds.
[[nodiscard]] inline std::expected<void, HexError> decode_hex(std::string_view text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2 != 0) return std::unexpected(HexError::OddLength);
  out.resize(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_digit_value(text[2 * i]);
    const int lo = hex_digit_value(text[2 * i + 1]);
    if ((hi | lo) < 0) return std::unexpected(HexError::NotHexDigit);
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return {};
}

}  // namespace halyx::dcbor
