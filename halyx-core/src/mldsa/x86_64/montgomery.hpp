// montgomery.hpp: Montgomery reduction eight lanes at a time with AVX2 and sixteen with AVX-512, for
// the polynomial kernels (ntt.cpp, ntt_avx512.cpp, matrix_row.cpp). Each function carries its path's
// target and is inlined into its kernel.
//
// A Montgomery product needs the full 64-bit product of two 32-bit lanes, and _mm256_mul_epi32 forms
// it for the even lanes only. Every product is therefore taken twice, once on the even lanes and once
// on the odd lanes shifted down, and the two halves of the result are blended back together.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/x86_64/features.hpp>

namespace halyx::mldsa::x86_64 {

HALYX_TARGET_AVX2 inline __m256i load(const std::int32_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
HALYX_TARGET_AVX2 inline void store(std::int32_t* p, __m256i v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }

// Returns the lanes congruent to even * 2^-32 and odd * 2^-32, where `even` holds the 64-bit values
// of lanes 0, 2, 4, 6 and `odd` those of lanes 1, 3, 5, 7, each below 2^31 q in size; then each
// result is below q, as with montgomery_reduce. With t the low 32 bits of value * q^-1 (signed),
// value - t q is a multiple of 2^32, and its high half is the result.
HALYX_TARGET_AVX2 inline __m256i montgomery_reduce(__m256i even, __m256i odd) {
  const __m256i q = _mm256_set1_epi32(Q);
  const __m256i q_inverse = _mm256_set1_epi32(static_cast<std::int32_t>(Q_INVERSE));
  even = _mm256_sub_epi64(even, _mm256_mul_epi32(_mm256_mul_epi32(even, q_inverse), q));
  odd = _mm256_sub_epi64(odd, _mm256_mul_epi32(_mm256_mul_epi32(odd, q_inverse), q));
  return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}

// The zero-masking forms with every lane selected are the plain vpmuldq, vpsrlq and vpsrad; GCC 12's
// unmasked intrinsics read an undefined register and trip -Wuninitialized.
HALYX_TARGET_AVX512 inline __m512i multiply_even(__m512i a, __m512i b) { return _mm512_maskz_mul_epi32(0xFF, a, b); }
HALYX_TARGET_AVX512 inline __m512i odd_lanes_down(__m512i a) { return _mm512_maskz_srli_epi64(0xFF, a, 32); }
HALYX_TARGET_AVX512 inline __m512i shift_right_signed(__m512i a, unsigned n) {
  return _mm512_maskz_srai_epi32(0xFFFF, a, n);
}

HALYX_TARGET_AVX512 inline __m512i load512(const std::int32_t* p) { return _mm512_load_si512(p); }
HALYX_TARGET_AVX512 inline void store512(std::int32_t* p, __m512i v) { _mm512_store_si512(p, v); }

// Returns the high halves of the 64-bit lanes of `even` in the even 32-bit lanes and those of `odd`
// in the odd lanes: vpshufd copies each odd lane of `even` down, and only the even lanes take it.
HALYX_TARGET_AVX512 inline __m512i high_halves(__m512i even, __m512i odd) {
  return _mm512_mask_shuffle_epi32(odd, 0x5555, even, _MM_PERM_DDBB);
}

// The same as the 256-bit montgomery_reduce, on sixteen lanes: `even` holds the 64-bit values of
// lanes 0, 2, ..., 14 and `odd` those of lanes 1, 3, ..., 15.
HALYX_TARGET_AVX512 inline __m512i montgomery_reduce(__m512i even, __m512i odd) {
  const __m512i q = _mm512_set1_epi32(Q);
  const __m512i q_inverse = _mm512_set1_epi32(static_cast<std::int32_t>(Q_INVERSE));
  even = _mm512_sub_epi64(even, multiply_even(multiply_even(even, q_inverse), q));
  odd = _mm512_sub_epi64(odd, multiply_even(multiply_even(odd, q_inverse), q));
  return high_halves(even, odd);
}

}  // namespace halyx::mldsa::x86_64

#endif
