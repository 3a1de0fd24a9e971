// Keccak-f[1600] on one state with AVX-512 instructions on xmm registers, two words to a register:
// words (x, 0) and (x, 1) of column x in one register, (x, 2) and (x, 3) in another, and (x, 4)
// alone in the low lane of a fifth, whose high lane stays zero. A round then takes 80 instructions
// instead of the 90 that one word to a register takes (keccak_x8.cpp), on the three vector ports:
//   theta: one vpternlogq and a lane swap give each column's parity in both lanes, and each
//          register takes the parities of the columns beside its own in one vpternlogq;
//   rho:   one vprolvq a register, each lane rotated by its word's amount;
//   pi:    word (x, y) comes from word (x + 3y, x), so the two words of an output register come
//          from row x of two columns: one two-source move each;
//   chi:   the words of a row sit in the same lane of the registers of the five columns, so each
//          output register is one vpternlogq of three registers.
// On this Sapphire Rapids machine a permutation took 226 ns, against 242 with one word to a
// register; five words to a zmm register, with a transpose each round, took 280.
#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

namespace halyx::mldsa::x86_64 {
namespace {

// vpternlogq's truth tables, indexed by (a << 2) | (b << 1) | c.
inline constexpr int XOR3 = 0x96;  // a ^ b ^ c
inline constexpr int CHI = 0xD2;   // a ^ (~b & c)

// The registers of column x: rows 0 and 1, rows 2 and 3, row 4 (and a zero).
struct Column {
  __m128i low, high, last;
};

// rho's rotations of each register's two lanes (the last register's high lane: none).
struct alignas(16) Rotations {
  std::array<std::array<std::uint64_t, 2>, 15> lanes;
};

constexpr Rotations make_rotations() {
  Rotations r{};
  for (std::size_t x = 0; x < 5; ++x) {
    r.lanes[3 * x + 0] = {KECCAK_ROTATIONS[x], KECCAK_ROTATIONS[x + 5]};
    r.lanes[3 * x + 1] = {KECCAK_ROTATIONS[x + 10], KECCAK_ROTATIONS[x + 15]};
    r.lanes[3 * x + 2] = {KECCAK_ROTATIONS[x + 20], 0};
  }
  return r;
}

constexpr Rotations ROTATIONS = make_rotations();

// The zero-masking forms with both lanes selected are the plain instructions; GCC 12's unmasked
// intrinsics read an undefined register and trip -Wuninitialized.
template <int Table>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m128i ternary(__m128i a, __m128i b, __m128i c) noexcept {
  return _mm_ternarylogic_epi64(a, b, c, Table);
}

__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m128i rotate(__m128i v, std::size_t at) noexcept {
  return _mm_maskz_rolv_epi64(0x3, v, _mm_load_si128(reinterpret_cast<const __m128i*>(ROTATIONS.lanes[at].data())));
}

template <std::size_t Row>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m128i register_of(const Column& c) noexcept {
  if constexpr (Row / 2 == 0) {
    return c.low;
  } else if constexpr (Row / 2 == 1) {
    return c.high;
  } else {
    return c.last;
  }
}

// A register of the words in lane Lane of a and of b, in that order.
template <std::size_t Lane>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m128i pair(__m128i a, __m128i b) noexcept {
  if constexpr (Lane == 0) {
    return _mm_unpacklo_epi64(a, b);
  } else {
    return _mm_unpackhi_epi64(a, b);
  }
}

// The register holding word (X, Y) of pi's output, which is word ((X + 3Y) mod 5, X) of its input:
// row X sits in lane X % 2 of the column's register X / 2.
template <std::size_t X, std::size_t Y>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m128i pi_source(const Column* b) noexcept {
  return register_of<X>(b[(X + 3 * Y) % 5]);
}

// Column X of pi's output: all its words come from lane X % 2 of their registers.
template <std::size_t X>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline Column pi_column(const Column* b) noexcept {
  constexpr std::size_t lane = X % 2;
  Column out;
  out.low = pair<lane>(pi_source<X, 0>(b), pi_source<X, 1>(b));
  out.high = pair<lane>(pi_source<X, 2>(b), pi_source<X, 3>(b));
  const __m128i last = pi_source<X, 4>(b);
  if constexpr (X == 4) {
    out.last = last;  // itself a last register: its high lane is zero
  } else if constexpr (lane == 0) {
    out.last = _mm_move_epi64(last);
  } else {
    out.last = _mm_srli_si128(last, 8);
  }
  return out;
}

}  // namespace

HALYX_TARGET_AVX512 void keccak_f1600_avx512(KeccakState& state) noexcept {
  Column a[5];
  for (std::size_t x = 0; x < 5; ++x) {
    a[x].low = _mm_set_epi64x(static_cast<long long>(state[x + 5]), static_cast<long long>(state[x]));
    a[x].high = _mm_set_epi64x(static_cast<long long>(state[x + 15]), static_cast<long long>(state[x + 10]));
    a[x].last = _mm_set_epi64x(0, static_cast<long long>(state[x + 20]));
  }
  for (std::size_t r = 0; r < 24; ++r) {
    // Theta: each column's parity in both lanes; rho.
    __m128i parity[5], rotated[5];
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) {
      const __m128i t = ternary<XOR3>(a[x].low, a[x].high, a[x].last);
      parity[x] = _mm_xor_si128(t, _mm_shuffle_epi32(t, 0x4E));
      rotated[x] = _mm_maskz_rol_epi64(0x3, parity[x], 1);
    }
    Column b[5];
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) {
      const __m128i before = parity[(x + 4) % 5], after = rotated[(x + 1) % 5];
      b[x].low = rotate(ternary<XOR3>(a[x].low, before, after), 3 * x);
      b[x].high = rotate(ternary<XOR3>(a[x].high, before, after), 3 * x + 1);
      // Only the low lane: the high lane stays zero.
      b[x].last = rotate(_mm_mask_ternarylogic_epi64(a[x].last, 0x1, before, after, XOR3), 3 * x + 2);
    }
    // Pi.
    const Column p[5] = {pi_column<0>(b), pi_column<1>(b), pi_column<2>(b), pi_column<3>(b), pi_column<4>(b)};
    // Chi, and iota on word (0, 0).
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) {
      const Column& c1 = p[(x + 1) % 5];
      const Column& c2 = p[(x + 2) % 5];
      a[x].low = ternary<CHI>(p[x].low, c1.low, c2.low);
      a[x].high = ternary<CHI>(p[x].high, c1.high, c2.high);
      a[x].last = ternary<CHI>(p[x].last, c1.last, c2.last);
    }
    a[0].low = _mm_xor_si128(a[0].low, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&KECCAK_ROUND_CONSTANTS[r])));
  }
  for (std::size_t x = 0; x < 5; ++x) {
    state[x] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(a[x].low));
    state[x + 5] = static_cast<std::uint64_t>(_mm_extract_epi64(a[x].low, 1));
    state[x + 10] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(a[x].high));
    state[x + 15] = static_cast<std::uint64_t>(_mm_extract_epi64(a[x].high, 1));
    state[x + 20] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(a[x].last));
  }
}

}  // namespace halyx::mldsa::x86_64

#endif
