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

// Lane S of the input with theta's column mix added, rotated as rho rotates it.
template <class Ops, unsigned S>
[[gnu::always_inline]] inline Lanes theta_rho(const Lanes* a, const Lanes* d) noexcept {
  return Ops::template xor_rotl_any<KECCAK_ROTATIONS[S]>(a[S], d[S % 5]);
}

// Output plane Y: lane (x, Y) comes from lane (x + 3Y, x) of the input (pi), and chi combines the
// plane's five. The lanes are template arguments, so each rotation is an instruction's immediate.
template <class Ops, unsigned Y>
[[gnu::always_inline]] inline void plane(const Lanes* a, const Lanes* d, Lanes* e) noexcept {
  const Lanes b0 = theta_rho<Ops, (0 + 3 * Y) % 5 + 0>(a, d);
  const Lanes b1 = theta_rho<Ops, (1 + 3 * Y) % 5 + 5>(a, d);
  const Lanes b2 = theta_rho<Ops, (2 + 3 * Y) % 5 + 10>(a, d);
  const Lanes b3 = theta_rho<Ops, (3 + 3 * Y) % 5 + 15>(a, d);
  const Lanes b4 = theta_rho<Ops, (4 + 3 * Y) % 5 + 20>(a, d);
  e[5 * Y + 0] = Ops::chi(b0, b1, b2);
  e[5 * Y + 1] = Ops::chi(b1, b2, b3);
  e[5 * Y + 2] = Ops::chi(b2, b3, b4);
  e[5 * Y + 3] = Ops::chi(b3, b4, b0);
  e[5 * Y + 4] = Ops::chi(b4, b0, b1);
}

// One round from a into e. theta's column sums are taken afresh each round: NEON has the 32
// registers that keep the state and them, and summing as chi writes would only move the same XORs.
template <class Ops>
[[gnu::always_inline]] inline void round(const Lanes* a, Lanes* e, std::uint64_t rc) noexcept {
  Lanes c[5], d[5];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) c[x] = Ops::xor5(a[x], a[x + 5], a[x + 10], a[x + 15], a[x + 20]);
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) d[x] = Ops::theta_d(c[(x + 4) % 5], c[(x + 1) % 5]);
  plane<Ops, 0>(a, d, e);
  plane<Ops, 1>(a, d, e);
  plane<Ops, 2>(a, d, e);
  plane<Ops, 3>(a, d, e);
  plane<Ops, 4>(a, d, e);
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
