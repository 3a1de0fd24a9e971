// Keccak-f[1600] with AVX-512, word by word: register w holds word w of as many states as the
// register is wide. The 32 registers hold all 25 words with room to work; vprolq rotates, and
// vpternlogq does theta's three-way XORs and chi's a ^ (~b & c) in one instruction each. One state
// alone takes another arrangement (keccak_x1_avx512.cpp).
#if defined(__x86_64__)

#include <immintrin.h>

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

// The few operations a round needs. The rotations use the merge form
// with every lane selected, which is plain vprolq; GCC 12's unmasked zmm intrinsic reads an
// undefined register and trips -Wuninitialized.
template <int Table>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m512i ternary(__m512i a, __m512i b, __m512i c) noexcept {
  return _mm512_ternarylogic_epi64(a, b, c, Table);
}
template <unsigned N>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m512i rotl(__m512i v) noexcept {
  if constexpr (N == 0) {
    return v;
  } else {
    return _mm512_mask_rol_epi64(v, 0xFF, v, N);
  }
}
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline __m512i xor_constant(__m512i v, std::uint64_t k) noexcept {
  return _mm512_xor_si512(v, _mm512_set1_epi64(static_cast<long long>(k)));
}

// Returns word (X, Y) after theta, rho and pi: pi brings it from word (X + 3Y, X), which theta
// changes by the parity c of the column before it and the parity r, rotated, of the column after
// it (one vpternlogq), and rho then rotates.
template <std::size_t X, std::size_t Y, class V>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline V moved_word(const V* a, const V* c, const V* r) noexcept {
  constexpr std::size_t column = (X + 3 * Y) % 5, source = column + 5 * X;
  return rotl<KECCAK_ROTATIONS[source]>(ternary<XOR3>(a[source], c[(column + 4) % 5], r[(column + 1) % 5]));
}

// Writes plane Y of the round's output (before iota).
template <std::size_t Y, class V>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline void plane(const V* a, V* e, const V* c, const V* r) noexcept {
  const V b0 = moved_word<0, Y>(a, c, r), b1 = moved_word<1, Y>(a, c, r), b2 = moved_word<2, Y>(a, c, r),
          b3 = moved_word<3, Y>(a, c, r), b4 = moved_word<4, Y>(a, c, r);
  e[5 * Y + 0] = ternary<CHI>(b0, b1, b2);
  e[5 * Y + 1] = ternary<CHI>(b1, b2, b3);
  e[5 * Y + 2] = ternary<CHI>(b2, b3, b4);
  e[5 * Y + 3] = ternary<CHI>(b3, b4, b0);
  e[5 * Y + 4] = ternary<CHI>(b4, b0, b1);
}

// One round from a into e, with round constant rc.
template <class V>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline void round(const V* a, V* e,
                                                                             std::uint64_t rc) noexcept {
  V c[5], r[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    c[x] = ternary<XOR3>(ternary<XOR3>(a[x], a[x + 5], a[x + 10]), a[x + 15], a[x + 20]);
  }
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) r[x] = rotl<1>(c[x]);
  plane<0>(a, e, c, r);
  plane<1>(a, e, c, r);
  plane<2>(a, e, c, r);
  plane<3>(a, e, c, r);
  plane<4>(a, e, c, r);
  e[0] = xor_constant(e[0], rc);
}

// All 24 rounds on the words in a. Two rounds per pass, so that the state moves a -> e -> a and
// no copy is needed.
template <class V>
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline void rounds(V* a) noexcept {
  V e[KECCAK_WORDS];
  for (std::size_t r = 0; r < 24; r += 2) {
    round(a, e, KECCAK_ROUND_CONSTANTS[r]);
    round(e, a, KECCAK_ROUND_CONSTANTS[r + 1]);
  }
}

// Transposes 8 x 8 words in place: word j of r[i] and word i of r[j] trade places. Each of the
// three steps swaps blocks of one size (a word, two words, four) between pairs of registers.
// The masked forms with every word selected are the plain instructions; GCC 12's unmasked
// intrinsics read an undefined register and trip -Wmaybe-uninitialized.
__attribute__((always_inline)) HALYX_TARGET_AVX512 inline void transpose8(__m512i* r) noexcept {
  const __m512i low_pairs = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i high_pairs = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  __m512i t[8], u[8];
  for (std::size_t i = 0; i < 8; i += 2) {
    t[i] = _mm512_maskz_unpacklo_epi64(0xFF, r[i], r[i + 1]);
    t[i + 1] = _mm512_maskz_unpackhi_epi64(0xFF, r[i], r[i + 1]);
  }
  for (std::size_t i = 0; i < 8; i += 4) {
    u[i] = _mm512_permutex2var_epi64(t[i], low_pairs, t[i + 2]);
    u[i + 1] = _mm512_permutex2var_epi64(t[i + 1], low_pairs, t[i + 3]);
    u[i + 2] = _mm512_permutex2var_epi64(t[i], high_pairs, t[i + 2]);
    u[i + 3] = _mm512_permutex2var_epi64(t[i + 1], high_pairs, t[i + 3]);
  }
  for (std::size_t i = 0; i < 4; ++i) {
    r[i] = _mm512_maskz_shuffle_i64x2(0xFF, u[i], u[i + 4], 0x44);
    r[i + 4] = _mm512_maskz_shuffle_i64x2(0xFF, u[i], u[i + 4], 0xEE);
  }
}

}  // namespace

// The states come in as rows, state i's words 8g..8g+7 in one register for each group g, and are
// transposed into the word-per-register layout the rounds work in, and back out after them. The
// transposes cost little beside the rounds (a few ns of 430 here), and let every batch take any
// eight states wherever they are kept.
HALYX_TARGET_AVX512 void permute_x8_avx512(KeccakState* const* states) noexcept {
  __m512i a[KECCAK_WORDS];
  for (std::size_t g = 0; g < 3; ++g) {
    __m512i r[8];
    for (std::size_t i = 0; i < 8; ++i) r[i] = _mm512_load_si512(states[i]->data() + 8 * g);
    transpose8(r);
    for (std::size_t i = 0; i < 8; ++i) a[8 * g + i] = r[i];
  }
  // Word 24 sits alone past the last group: one masked broadcast per state gathers it.
  a[24] = _mm512_setzero_si512();
  for (std::size_t i = 0; i < 8; ++i) {
    a[24] = _mm512_mask_set1_epi64(a[24], static_cast<__mmask8>(1u << i), static_cast<long long>((*states[i])[24]));
  }
  rounds(a);
  for (std::size_t g = 0; g < 3; ++g) {
    __m512i r[8];
    for (std::size_t i = 0; i < 8; ++i) r[i] = a[8 * g + i];
    transpose8(r);
    for (std::size_t i = 0; i < 8; ++i) _mm512_store_si512(states[i]->data() + 8 * g, r[i]);
  }
  alignas(64) std::uint64_t last[8];
  _mm512_store_si512(last, a[24]);
  for (std::size_t i = 0; i < 8; ++i) (*states[i])[24] = last[i];
}

}  // namespace halyx::mldsa::x86_64

#endif
