// cbor_head.hpp: the arithmetic of a CBOR head (major type, additional information, argument),
// shared by every reader and writer of CBOR in the project. Readers differ in what they refuse and
// how they report it; how many bytes a head takes and what they mean is the same for all of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halyx::dcbor {

inline constexpr std::uint8_t MAJOR_UNSIGNED = 0;
inline constexpr std::uint8_t MAJOR_NEGATIVE = 1;
inline constexpr std::uint8_t MAJOR_BYTES = 2;
inline constexpr std::uint8_t MAJOR_TEXT = 3;
inline constexpr std::uint8_t MAJOR_ARRAY = 4;
inline constexpr std::uint8_t MAJOR_MAP = 5;
inline constexpr std::uint8_t MAJOR_TAG = 6;
inline constexpr std::uint8_t MAJOR_SIMPLE = 7;

// Additional information 0-23 is the argument itself; 24-27 announce 1, 2, 4 or 8 argument bytes;
// 28-30 are unassigned and 31 marks indefinite lengths and the break.
inline constexpr std::uint8_t AI_ONE_BYTE = 24;
inline constexpr std::uint8_t AI_EIGHT_BYTES = 27;

inline constexpr std::size_t MAX_HEAD_LENGTH = 9;

[[nodiscard]] constexpr std::uint8_t major_of(std::uint8_t initial) noexcept {
  return static_cast<std::uint8_t>(initial >> 5);
}
[[nodiscard]] constexpr std::uint8_t info_of(std::uint8_t initial) noexcept {
  return static_cast<std::uint8_t>(initial & 0x1f);
}

// Returns how many argument bytes follow an initial byte with additional information `ai` (0-27).
[[nodiscard]] constexpr std::size_t argument_width(std::uint8_t ai) noexcept {
  return ai < AI_ONE_BYTE ? 0 : std::size_t{1} << (ai - AI_ONE_BYTE);
}

// Returns the big-endian number in the `width` bytes at `p`.
[[nodiscard]] constexpr std::uint64_t read_big_endian(const std::uint8_t* p, std::size_t width) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// Returns the smallest argument that may use additional information `ai` (24-27): anything below
// it has a shorter head.
[[nodiscard]] constexpr std::uint64_t smallest_argument(std::uint8_t ai) noexcept {
  return ai == AI_ONE_BYTE ? 24 : std::uint64_t{1} << (8 * argument_width(static_cast<std::uint8_t>(ai - 1)));
}

// Returns the length of the shortest head that carries `argument`: 1, 2, 3, 5 or 9.
[[nodiscard]] constexpr std::size_t shortest_head_length(std::uint64_t argument) noexcept {
  if (argument < 24) return 1;
  if (argument <= 0xff) return 2;
  if (argument <= 0xffff) return 3;
  if (argument <= 0xffffffff) return 5;
  return 9;
}

// Writes the shortest head of major type `major` (0-7) and `argument` to `out`; returns its length.
constexpr std::size_t encode_head(std::uint8_t major, std::uint64_t argument,
                                  std::array<std::uint8_t, MAX_HEAD_LENGTH>& out) noexcept {
  const std::size_t length = shortest_head_length(argument);
  const auto initial = static_cast<std::uint8_t>(major << 5);
  if (length == 1) {
    out[0] = static_cast<std::uint8_t>(initial | argument);
    return 1;
  }
  const std::size_t width = length - 1;  // 1, 2, 4 or 8
  const auto ai = static_cast<std::uint8_t>(AI_ONE_BYTE + (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3));
  out[0] = static_cast<std::uint8_t>(initial | ai);
  for (std::size_t i = 0; i < width; ++i) out[1 + i] = static_cast<std::uint8_t>(argument >> (8 * (width - 1 - i)));
  return length;
}

}  // namespace halyx::dcbor
