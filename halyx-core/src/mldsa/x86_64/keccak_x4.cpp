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
// OR, except where N is a whole number of bytes (8 and 56 occur), which one byte shuffle does. The
// shift left by 1 is an addition, which more ports execute than shifts.
template <unsigned N>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline __m256i rotl(__m256i v) noexcept {
  if constexpr (N == 0) {
    return v;
  } else if constexpr (N == 1) {
    return _mm256_or_si256(_mm256_add_epi64(v, v), _mm256_srli_epi64(v, 63));
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

// Sets b to plane Y's five words after theta, rho and pi.
template <std::size_t Y>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void moved_plane(const __m256i* a, const __m256i* d,
                                                                       __m256i* b) noexcept {
  b[0] = moved_word<0, Y>(a, d);
  b[1] = moved_word<1, Y>(a, d);
  b[2] = moved_word<2, Y>(a, d);
  b[3] = moved_word<3, Y>(a, d);
  b[4] = moved_word<4, Y>(a, d);
}

// Writes plane Y of the round's output from its moved words b: chi, and iota on word 0. Adds the
// plane into the next round's column sums c, which plane 0 starts.
template <std::size_t Y>
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void chi_plane(const __m256i* b, __m256i* e, __m256i* c,
                                                                     __m256i iota) noexcept {
  const __m256i out[5] = {chi(b[0], b[1], b[2]), chi(b[1], b[2], b[3]), chi(b[2], b[3], b[4]), chi(b[3], b[4], b[0]),
                          chi(b[4], b[0], b[1])};
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    const __m256i v = Y == 0 && x == 0 ? _mm256_xor_si256(out[0], iota) : out[x];
    e[5 * Y + x] = v;
    c[x] = Y == 0 ? v : _mm256_xor_si256(c[x], v);
  }
}

// One round from a into e, with round constant rc. theta's column sums c come in with a and leave
// with e, summed as chi writes each plane, so that the round reads each word of a once. Each
// plane's words are moved before chi runs on the plane ahead of it: written plane after plane, the
// four-state permutation took about 3 % longer on Zen 5, whose vector operations take two cycles
// each, waiting on each plane's chain of rotations and chi.
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline void round(const __m256i* a, __m256i* e, __m256i* c,
                                                                 std::uint64_t rc) noexcept {
  __m256i d[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) d[x] = _mm256_xor_si256(c[(x + 4) % 5], rotl<1>(c[(x + 1) % 5]));
  const __m256i iota = _mm256_set1_epi64x(static_cast<long long>(rc));
  __m256i b0[5], b1[5];
  moved_plane<0>(a, d, b0);
  moved_plane<1>(a, d, b1);
  chi_plane<0>(b0, e, c, iota);
  moved_plane<2>(a, d, b0);
  chi_plane<1>(b1, e, c, iota);
  moved_plane<3>(a, d, b1);
  chi_plane<2>(b0, e, c, iota);
  moved_plane<4>(a, d, b0);
  chi_plane<3>(b1, e, c, iota);
  chi_plane<4>(b0, e, c, iota);
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
  __m256i c[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    c[x] = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]), _mm256_xor_si256(a[x + 10], a[x + 15])),
                            a[x + 20]);
  }
  // The fifth state as one lane of keccak_rounds::round_lanes, which carries its column sums sc
  // the same way.
  [[maybe_unused]] std::uint64_t sa[Scalar ? KECCAK_WORDS : 1][1], se[Scalar ? KECCAK_WORDS : 1][1], sc[5][1];
  if constexpr (Scalar) {
    for (std::size_t i = 0; i < KECCAK_WORDS; ++i) sa[i][0] = (*states[4])[i];
    for (std::size_t x = 0; x < 5; ++x) {
      sc[x][0] = sa[x][0] ^ sa[x + 5][0] ^ sa[x + 10][0] ^ sa[x + 15][0] ^ sa[x + 20][0];
    }
  }
  for (std::size_t r = 0; r < 24; r += 2) {
    round(a, e, c, KECCAK_ROUND_CONSTANTS[r]);
    if constexpr (Scalar) keccak_rounds::round_lanes<1>(sa, se, sc, KECCAK_ROUND_CONSTANTS[r]);
    round(e, a, c, KECCAK_ROUND_CONSTANTS[r + 1]);
    if constexpr (Scalar) keccak_rounds::round_lanes<1>(se, sa, sc, KECCAK_ROUND_CONSTANTS[r + 1]);
  }
  // The fifth state is written first: the four are read, and it may be one of them (poly.hpp).
  if constexpr (Scalar) {
    for (std::size_t i = 0; i < KECCAK_WORDS; ++i) (*states[4])[i] = sa[i][0];
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
