// encoding.hpp: the hint of a signature, and the rounding that decides the high bits of w the
// challenge hash covers. The bulk unpacking of z and t1 and the packing of w1 are kernels
// (poly.hpp); they must agree with the definitions here.
//
// Bit packing is little-endian throughout: coefficient i of a polynomial packed at w bits a
// coefficient occupies bits i*w .. i*w + w - 1 of its slice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa {

// The hint of a signature: the positions of its ones, row after row. Row i owns
// positions[row_end[i - 1] .. row_end[i]), with row_end[-1] taken as 0.
struct Hint {
  std::array<std::uint8_t, OMEGA> positions;
  std::array<std::uint8_t, K> row_end;
};

// Decodes the 61-byte hint section into `hint`. Returns false for every encoding the standard
// refuses: a running count that falls or exceeds omega, positions within a row that do not
// strictly increase, or a non-zero byte among the unused positions.
[[nodiscard]] bool decode_hint(Hint& hint, const std::uint8_t* bytes) noexcept;

// |r mod+- q|, the size of r's centred representative, for r in [0, q).
[[nodiscard]] constexpr std::int32_t centred_norm(std::int32_t r) noexcept {
  return r <= (Q - 1) / 2 ? r : Q - r;
}

// r split as r1 * 2 gamma2 + r0 with r0 in (-gamma2, gamma2], for r in [0, q); the top value of r1
// (16) wraps to 0 with r0 lowered by one, so that r1 always fits in 4 bits.
struct Decomposed {
  std::int32_t r1, r0;
};
[[nodiscard]] constexpr Decomposed decompose(std::int32_t r) noexcept {
  // r0 > -gamma2 means r1 is the least integer with r - r1 * 2 gamma2 <= gamma2.
  std::int32_t r1 = (r + GAMMA2 - 1) / (2 * GAMMA2);
  std::int32_t r0 = r - r1 * 2 * GAMMA2;
  if (r1 == (Q - 1) / (2 * GAMMA2)) {
    r1 = 0;
    r0 -= 1;
  }
  return {r1, r0};
}

// The high bits of r in [0, q), moved one step (mod 16) towards r0's side when the hint is set.
// r0 = 0 counts as the negative side.
[[nodiscard]] constexpr std::int32_t use_hint(bool hint, std::int32_t r) noexcept {
  const Decomposed d = decompose(r);
  if (!hint) return d.r1;
  return d.r0 > 0 ? (d.r1 + 1) & 15 : (d.r1 - 1) & 15;
}

}  // namespace halyx::mldsa
