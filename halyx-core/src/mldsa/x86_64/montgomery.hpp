// montgomery.hpp: Montgomery reduction eight lanes at a time with AVX2, for the polynomial kernels
// (ntt.cpp, matrix_row.cpp). Each function carries the AVX2 path's target and is inlined into its
// kernel.
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

}  // namespace halyx::mldsa::x86_64

#endif
