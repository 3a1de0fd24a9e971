// keccak.hpp: Keccak-f[1600] and the two extendable-output functions ML-DSA draws on, SHAKE128
// (its G) and SHAKE256 (its H).
//
// A state is 25 64-bit words; word x + 5y holds lane (x, y), and bytes enter and leave each word
// little-endian. Several states can also be permuted side by side (a path's permute_lanes, which
// sponges.hpp drives); each stays whole where its owner keeps it, and the vector permutations
// transpose them into registers and back.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <cstring>

namespace halyx::mldsa {

inline constexpr std::size_t KECCAK_WORDS = 25;
inline constexpr std::size_t SHAKE128_RATE = 168;
inline constexpr std::size_t SHAKE256_RATE = 136;
// The domain bits of SHAKE, with the first bit of the pad10*1 padding after them.
inline constexpr std::uint8_t SHAKE_PAD = 0x1F;

using KeccakState = std::array<std::uint64_t, KECCAK_WORDS>;

// Reads and writes one little-endian 64-bit word.
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  std::memcpy(p, &v, 8);
}

// The 24 round constants, derived from the standard's LFSR at compile time.
extern const std::array<std::uint64_t, 24> KECCAK_ROUND_CONSTANTS;

// The rotation of each word between theta and pi: walking (x, y) from (1, 0) by (y, 2x + 3y), the
// t-th word visited rotates by (t + 1)(t + 2) / 2 mod 64; word 0 stays. A constant expression, so
// the vector permutations can take each one as an instruction's immediate.
inline constexpr std::array<unsigned, KECCAK_WORDS> KECCAK_ROTATIONS = [] {
  std::array<unsigned, KECCAK_WORDS> rot{};
  unsigned x = 1, y = 0;
  for (unsigned t = 0; t < 24; ++t) {
    rot[x + 5 * y] = ((t + 1) * (t + 2) / 2) % 64;
    const unsigned nx = y, ny = (2 * x + 3 * y) % 5;
    x = nx;
    y = ny;
  }
  return rot;
}();
static_assert(KECCAK_ROTATIONS[1] == 1 && KECCAK_ROTATIONS[2] == 62 && KECCAK_ROTATIONS[24] == 14);

// Applies Keccak-f[1600] to one state in place.
void keccak_f1600(KeccakState& state) noexcept;

// Writes a state's 200 bytes, little-endian, as a big-endian CPU must to read it as bytes.
void keccak_store_state(const KeccakState& state, std::uint8_t* out) noexcept;

using KeccakPermutation = void (*)(KeccakState&) noexcept;

// One SHAKE sponge fed in pieces: absorb any number of times, then squeeze any number of times.
// `Rate` is SHAKE128_RATE or SHAKE256_RATE. Permutes with `permute` (any implementation of
// Keccak-f[1600]). Holds 216 bytes and allocates nothing.
template <std::size_t Rate>
class Shake {
 public:
  explicit Shake(KeccakPermutation permute = keccak_f1600) noexcept : permute_(permute) {}

  void absorb(std::span<const std::uint8_t> data) noexcept;
  // Ends absorbing on the first call; every call continues the output stream.
  void squeeze(std::span<std::uint8_t> out) noexcept;

 private:
  void finish_absorbing() noexcept;

  KeccakPermutation permute_;
  KeccakState state_{};
  std::size_t position_ = 0;  // absorbing: bytes in the current block; squeezing: bytes used of it
  bool squeezing_ = false;
};

using Shake128 = Shake<SHAKE128_RATE>;
using Shake256 = Shake<SHAKE256_RATE>;

extern template class Shake<SHAKE128_RATE>;
extern template class Shake<SHAKE256_RATE>;

}  // namespace halyx::mldsa
