// keccak_x2.hpp: Keccak-f[1600] on two states at once, state 0 in the low 64-bit lane of each
// 128-bit register and state 1 in the high one, for keccak_x2.cpp (plain NEON) and
// keccak_x2_sha3.cpp (the SHA-3 instructions). Both include this after their own target is set,
// and `Ops` supplies the five operations where the two differ:
//   xor5(a, b, c, d, e)  a ^ b ^ c ^ d ^ e                     (theta's column sums)
//   theta_d(c, d)        c ^ rotl(d, 1)                        (theta's mix of two columns)
//   xor_rotl_any<n>(a, d) rotl(a ^ d, n), 0 <= n < 64          (theta applied, then rho)
//   chi(a, b, c)         a ^ (~b & c)
// Every function is inlined into the one permutation each file defines; nothing here is emitted
// on its own, so no copy compiled for one target is linked where the other runs.
#pragma once

#if defined(__aarch64__)

#include <arm_neon.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/rounds.hpp>

namespace halyx::mldsa::aarch64::keccak_x2 {

using Lanes = uint64x2_t;

// rho and pi for the five lanes of column X, each with theta's mix for that column, d: lane
// (X, y) is rotated into lane (y, 2X + 3y) of b. Taking the lanes column by column lets each d
// go as soon as its column is done, so the state, the mixes and a temporary fit the 32 registers
// and nothing is spilled to the stack.
template <class Ops, unsigned X, unsigned Y = 0>
[[gnu::always_inline]] inline void column(const Lanes* a, Lanes d, Lanes* b) noexcept {
  if constexpr (Y < 5) {
    constexpr unsigned s = X + 5 * Y;
    b[Y + 5 * ((2 * X + 3 * Y) % 5)] = Ops::template xor_rotl_any<KECCAK_ROTATIONS[s]>(a[s], d);
    column<Ops, X, Y + 1>(a, d, b);
  }
}

// chi on plane Y of b into e.
template <class Ops, unsigned Y>
[[gnu::always_inline]] inline void chi_plane(const Lanes* b, Lanes* e) noexcept {
  const Lanes* p = b + 5 * Y;
  e[5 * Y + 0] = Ops::chi(p[0], p[1], p[2]);
  e[5 * Y + 1] = Ops::chi(p[1], p[2], p[3]);
  e[5 * Y + 2] = Ops::chi(p[2], p[3], p[4]);
  e[5 * Y + 3] = Ops::chi(p[3], p[4], p[0]);
  e[5 * Y + 4] = Ops::chi(p[4], p[0], p[1]);
}

// One round from a into e. theta's column sums are taken afresh each round: summing them as chi
// writes each plane would only move the same XORs and keep five more values alive.
template <class Ops>
[[gnu::always_inline]] inline void round(const Lanes* a, Lanes* e, std::uint64_t rc) noexcept {
  Lanes c[5], d[5], b[25];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) c[x] = Ops::xor5(a[x], a[x + 5], a[x + 10], a[x + 15], a[x + 20]);
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) d[x] = Ops::theta_d(c[(x + 4) % 5], c[(x + 1) % 5]);
  column<Ops, 0>(a, d[0], b);
  column<Ops, 1>(a, d[1], b);
  column<Ops, 2>(a, d[2], b);
  column<Ops, 3>(a, d[3], b);
  column<Ops, 4>(a, d[4], b);
  chi_plane<Ops, 0>(b, e);
  chi_plane<Ops, 1>(b, e);
  chi_plane<Ops, 2>(b, e);
  chi_plane<Ops, 3>(b, e);
  chi_plane<Ops, 4>(b, e);
  e[0] = veorq_u64(e[0], vdupq_n_u64(rc));
}

// All 24 rounds on states[0] and states[1]. Both are read before either is written, so the same
// state may be given twice; it is then permuted once.
template <class Ops>
[[gnu::always_inline]] inline void permute(KeccakState* const* states) noexcept {
  constexpr std::array<std::uint64_t, 24> RC = keccak_rounds::make_round_constants();
  std::uint64_t* s0 = states[0]->data();
  std::uint64_t* s1 = states[1]->data();
  Lanes a[25], e[25];
#pragma GCC unroll 12
  for (std::size_t i = 0; i < 24; i += 2) {
    const Lanes p = vld1q_u64(s0 + i), q = vld1q_u64(s1 + i);
    a[i] = vzip1q_u64(p, q);
    a[i + 1] = vzip2q_u64(p, q);
  }
  a[24] = vcombine_u64(vld1_u64(s0 + 24), vld1_u64(s1 + 24));
#pragma GCC unroll 1
  for (unsigned r = 0; r < 24; r += 2) {
    round<Ops>(a, e, RC[r]);
    round<Ops>(e, a, RC[r + 1]);
  }
#pragma GCC unroll 12
  for (std::size_t i = 0; i < 24; i += 2) {
    vst1q_u64(s0 + i, vzip1q_u64(a[i], a[i + 1]));
    vst1q_u64(s1 + i, vzip2q_u64(a[i], a[i + 1]));
  }
  vst1_u64(s0 + 24, vget_low_u64(a[24]));
  vst1_u64(s1 + 24, vget_high_u64(a[24]));
}

}  // namespace halyx::mldsa::aarch64::keccak_x2

#endif
