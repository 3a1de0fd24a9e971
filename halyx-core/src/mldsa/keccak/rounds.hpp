// rounds.hpp: the scalar rounds of Keccak-f[1600], for the portable permutation (keccak.cpp) and for
// the architecture folders' builds of the same rounds with more instructions (x86_64/keccak_x1.cpp).
// Every function is inlined into its caller, so the caller's target attribute shapes the whole
// permutation, and no out-of-line copy carries instructions the baseline lacks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>

namespace halyx::mldsa::keccak_rounds {

// The LFSR of the round constants: x^8 + x^6 + x^5 + x^4 + 1 over GF(2), output bit t.
constexpr bool rc_bit(unsigned t) noexcept {
  if (t % 255 == 0) return true;
  unsigned r = 1;  // bits 0..7: R[0] is the output bit
  for (unsigned i = 1; i <= t % 255; ++i) {
    const unsigned r8 = (r >> 7) & 1;  // R[8] after the shift, before truncation
    r = (r << 1) & 0xFF;
    if (r8) r ^= 0x71;  // R[0], R[4], R[5], R[6] ^= R[8]
  }
  return r & 1;
}

constexpr std::array<std::uint64_t, 24> make_round_constants() noexcept {
  std::array<std::uint64_t, 24> rc{};
  for (unsigned round = 0; round < 24; ++round) {
    for (unsigned j = 0; j <= 6; ++j) {
      if (rc_bit(j + 7 * round)) rc[round] |= std::uint64_t{1} << ((1u << j) - 1);
    }
  }
  return rc;
}

// Returns v rotated left by n < 64. Spelled out rather than std::rotl, whose count is an int in
// libstdc++ and an unsigned in libc++ 16: a count cast for one warns under the other's -Wconversion.
[[gnu::always_inline]] constexpr std::uint64_t rotl64(std::uint64_t v, unsigned n) { return n == 0 ? v : (v << n) | (v >> (64 - n)); }

// One round from state `a` into state `e`. theta's column sums fold into the lanes as they are
// read; rho and pi pick, for each output plane, the five lanes that land in it; chi and iota then
// finish that plane. Every index is a constant once the loops are unrolled, so the compiler keeps
// the lanes in registers as far as it has them.
[[gnu::always_inline]] inline void round(const std::uint64_t* a, std::uint64_t* e, std::uint64_t rc) noexcept {
  std::uint64_t c[5], d[5];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
  for (unsigned x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotl64(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
  for (unsigned y = 0; y < 5; ++y) {
    std::uint64_t b[5];
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) {
      // Output lane (x, y) comes from lane (x + 3y, x).
      const unsigned sx = (x + 3 * y) % 5, s = sx + 5 * x;
      b[x] = rotl64(a[s] ^ d[sx], KECCAK_ROTATIONS[s]);
    }
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) e[x + 5 * y] = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]);
  }
  e[0] ^= rc;
}

// All 24 rounds on 25 words in place. Inlined into each caller, so that every instruction set a
// caller enables shapes the whole permutation.
[[gnu::always_inline]] inline void permute(std::uint64_t* state) noexcept {
  constexpr std::array<std::uint64_t, 24> RC = make_round_constants();
  std::uint64_t a[25], e[25];
  for (unsigned i = 0; i < 25; ++i) a[i] = state[i];
  for (unsigned r = 0; r < 24; r += 2) {
    round(a, e, RC[r]);
    round(e, a, RC[r + 1]);
  }
  for (unsigned i = 0; i < 25; ++i) state[i] = a[i];
}

// Keccak-f[1600] on W states side by side, in plain C++: word i of state w is a[i][w]. One round
// is the scalar round above run for each w, in a loop the compiler is told not to unroll: its
// vectoriser then takes the W iterations as the lanes of one vector (two 64-bit lanes in SSE2 and
// NEON registers), with every word at unit stride. Unrolled instead, the loop went to the
// straight-line vectoriser, which left half of each round scalar and ran slower than one state.
//
// theta's column sums c come in with the state, and the next round's leave with it, summed as chi
// writes each plane: the round then reads each word once instead of twice. On the development
// machine (SSE2 code, AMD EPYC) that took the portable two-state permutation from about 1190 to
// 1140 ticks of the timestamp counter (best of 5000 runs, every run alike), although it executes
// about 2 % more instructions: the loads, not the instruction count, held it back.
template <std::size_t W>
[[gnu::always_inline]] inline void round_lanes(const std::uint64_t (*a)[W], std::uint64_t (*e)[W],
                                               std::uint64_t (*c)[W], std::uint64_t rc) noexcept {
#pragma GCC unroll 1
  for (std::size_t w = 0; w < W; ++w) {
    std::uint64_t d[5], next[5];
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5][w] ^ rotl64(c[(x + 1) % 5][w], 1);
#pragma GCC unroll 5
    for (unsigned y = 0; y < 5; ++y) {
      std::uint64_t b[5];
#pragma GCC unroll 5
      for (unsigned x = 0; x < 5; ++x) {
        const unsigned sx = (x + 3 * y) % 5, s = sx + 5 * x;
        b[x] = rotl64(a[s][w] ^ d[sx], KECCAK_ROTATIONS[s]);
      }
      // iota folded into chi, so that every statement of the body is one vector operation.
#pragma GCC unroll 5
      for (unsigned x = 0; x < 5; ++x) {
        const std::uint64_t v = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]) ^ (x + y == 0 ? rc : 0);
        e[x + 5 * y][w] = v;
        next[x] = y == 0 ? v : next[x] ^ v;
      }
    }
#pragma GCC unroll 5
    for (unsigned x = 0; x < 5; ++x) c[x][w] = next[x];
  }
}

// All 24 rounds on the W states states[0..W). Every state is read before any is written, so one
// state may stand in several places and is then permuted once.
template <std::size_t W>
[[gnu::always_inline]] inline void permute_lanes(KeccakState* const* states) noexcept {
  constexpr std::array<std::uint64_t, 24> RC = make_round_constants();
  alignas(64) std::uint64_t a[25][W], e[25][W], c[5][W];
  for (unsigned i = 0; i < 25; ++i) {
    for (std::size_t w = 0; w < W; ++w) a[i][w] = (*states[w])[i];
  }
  for (unsigned x = 0; x < 5; ++x) {
    for (std::size_t w = 0; w < W; ++w) c[x][w] = a[x][w] ^ a[x + 5][w] ^ a[x + 10][w] ^ a[x + 15][w] ^ a[x + 20][w];
  }
  for (unsigned r = 0; r < 24; r += 2) {
    round_lanes<W>(a, e, c, RC[r]);
    round_lanes<W>(e, a, c, RC[r + 1]);
  }
  for (std::size_t w = 0; w < W; ++w) {
    for (unsigned i = 0; i < 25; ++i) (*states[w])[i] = a[i][w];
  }
}

}  // namespace halyx::mldsa::keccak_rounds
