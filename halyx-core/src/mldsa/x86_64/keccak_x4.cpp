// Keccak-f[1600] on four states at once with AVX2: each ymm register holds the same word of the
// four states, so every step of a round is the scalar step on four words. A variant takes a fifth
// state through the scalar rounds beside them.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/rounds.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

namespace halyx::mldsa::x86_64 {
namespace {

// Returns each 64-bit word of v rotated left by N (N < 64). AVX2 has no rotation: two shifts and an
// OR, except where N is a whole number of bytes (8 and 56 occur), which one byte shuffle does.
template <unsigned N>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline __m256i rotl(__m256i v) noexcept {
  if constexpr (N == 0) {
    return v;
  } else if constexpr (N == 8) {
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14,  //
                                                   7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14));
  } else if constexpr (N == 56) {
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,  //
                                                   1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8));
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(v, N), _mm256_srli_epi64(v, 64 - N));
  }
}

// Returns a ^ (~b & c): chi on one word, given its two right-hand neighbours in the row.
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline __m256i chi(__m256i a, __m256i b, __m256i c) noexcept {
  return _mm256_xor_si256(a, _mm256_andnot_si256(b, c));
}

// Returns word (X, Y) after theta, rho and pi: pi brings it from word (X + 3Y, X), which theta
// has changed by d of its column and rho then rotates.
template <std::size_t X, std::size_t Y>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline __m256i moved_word(const __m256i* a, const __m256i* d) noexcept {
  constexpr std::size_t column = (X + 3 * Y) % 5, source = column + 5 * X;
  return rotl<KECCAK_ROTATIONS[source]>(_mm256_xor_si256(a[source], d[column]));
}

// Writes plane Y of the round's output (before iota).
template <std::size_t Y>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void plane(const __m256i* a, __m256i* e,
                                                                 const __m256i* d) noexcept {
  const __m256i b0 = moved_word<0, Y>(a, d), b1 = moved_word<1, Y>(a, d), b2 = moved_word<2, Y>(a, d),
                b3 = moved_word<3, Y>(a, d), b4 = moved_word<4, Y>(a, d);
  e[5 * Y + 0] = chi(b0, b1, b2);
  e[5 * Y + 1] = chi(b1, b2, b3);
  e[5 * Y + 2] = chi(b2, b3, b4);
  e[5 * Y + 3] = chi(b3, b4, b0);
  e[5 * Y + 4] = chi(b4, b0, b1);
}

// One round from a into e, with round constant rc.
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void round(const __m256i* a, __m256i* e,
                                                                 std::uint64_t rc) noexcept {
  __m256i c[5], d[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    c[x] = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]), _mm256_xor_si256(a[x + 10], a[x + 15])),
                            a[x + 20]);
  }
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) d[x] = _mm256_xor_si256(c[(x + 4) % 5], rotl<1>(c[(x + 1) % 5]));
  plane<0>(a, e, d);
  plane<1>(a, e, d);
  plane<2>(a, e, d);
  plane<3>(a, e, d);
  plane<4>(a, e, d);
  e[0] = _mm256_xor_si256(e[0], _mm256_set1_epi64x(static_cast<long long>(rc)));
}

// Transposes 4 x 4 words in place: word j of r[i] and word i of r[j] trade places. The first step
// swaps single words between pairs of registers, the second their 128-bit halves.
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void transpose4(__m256i* r) noexcept {
  const __m256i t0 = _mm256_unpacklo_epi64(r[0], r[1]), t1 = _mm256_unpackhi_epi64(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi64(r[2], r[3]), t3 = _mm256_unpackhi_epi64(r[2], r[3]);
  r[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
  r[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
  r[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
  r[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// The states come in as rows of four words and are transposed into one word of all four per
// register, and back out after the rounds. Two rounds per pass, so that the state moves a -> e -> a
// and no copy is needed; the compiler keeps what fits of both in registers and spills the rest
// (AVX2 has 16 for 25 words). With Scalar, a fifth state, states[4], takes the scalar rounds in the
// general registers, a round of it after each of the four's, for a core whose integer units would
// otherwise stand idle beside the vector ones (kernels.cpp).
template <bool Scalar>
HALYX_TARGET_AVX2 inline void permute_avx2(KeccakState* const* states) noexcept {
  __m256i a[KECCAK_WORDS], e[KECCAK_WORDS];
  for (std::size_t g = 0; g < 6; ++g) {
    __m256i r[4];
    for (std::size_t i = 0; i < 4; ++i) {
      r[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(states[i]->data() + 4 * g));
    }
    transpose4(r);
    for (std::size_t i = 0; i < 4; ++i) a[4 * g + i] = r[i];
  }
  a[24] = _mm256_setr_epi64x(static_cast<long long>((*states[0])[24]), static_cast<long long>((*states[1])[24]),
                             static_cast<long long>((*states[2])[24]), static_cast<long long>((*states[3])[24]));
  [[maybe_unused]] std::uint64_t sa[Scalar ? KECCAK_WORDS : 1], se[Scalar ? KECCAK_WORDS : 1];
  if constexpr (Scalar) {
    for (std::size_t i = 0; i < KECCAK_WORDS; ++i) sa[i] = (*states[4])[i];
  }
  for (std::size_t r = 0; r < 24; r += 2) {
    round(a, e, KECCAK_ROUND_CONSTANTS[r]);
    if constexpr (Scalar) keccak_rounds::round(sa, se, KECCAK_ROUND_CONSTANTS[r]);
    round(e, a, KECCAK_ROUND_CONSTANTS[r + 1]);
    if constexpr (Scalar) keccak_rounds::round(se, sa, KECCAK_ROUND_CONSTANTS[r + 1]);
  }
  // The fifth state is written first: the four are read, and it may be one of them (poly.hpp).
  if constexpr (Scalar) {
    for (std::size_t i = 0; i < KECCAK_WORDS; ++i) (*states[4])[i] = sa[i];
  }
  for (std::size_t g = 0; g < 6; ++g) {
    __m256i r[4];
    for (std::size_t i = 0; i < 4; ++i) r[i] = a[4 * g + i];
    transpose4(r);
    for (std::size_t i = 0; i < 4; ++i) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(states[i]->data() + 4 * g), r[i]);
    }
  }
  alignas(32) std::uint64_t last[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(last), a[24]);
  for (std::size_t i = 0; i < 4; ++i) (*states[i])[24] = last[i];
}

}  // namespace

HALYX_TARGET_AVX2 void permute_x4_avx2(KeccakState* const* states) noexcept { permute_avx2<false>(states); }
HALYX_TARGET_AVX2 void permute_x5_avx2(KeccakState* const* states) noexcept { permute_avx2<true>(states); }

}  // namespace halyx::mldsa::x86_64

#endif
