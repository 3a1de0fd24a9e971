// One row of A * NTT(z) - NTT(c) * NTT(t1 * 2^d) with AVX2, eight coefficients to a register, and with
// AVX-512, sixteen.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>

#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>
#include <halyx/mldsa/x86_64/montgomery.hpp>

namespace halyx::mldsa::x86_64 {

// The six products are summed in 64 bits, each below q^2 in size, so the sum is below 6 q^2, far
// under the 2^31 q one Montgomery reduction takes: one reduction per coefficient instead of six.
// The odd lanes reach the even ones, which vpmuldq reads, through vpshufd rather than vpsrlq: the
// loop is bound by the vector units' throughput, and on Zen 5 the shifts issue at two a cycle, the
// shuffles at four (89 to 83 ns a row). vpmuldq ignores the odd lanes, so what the shuffle leaves
// there does not matter.
HALYX_TARGET_AVX2 void matrix_row_avx2(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept {
  check_matrix_row_inputs(a, z, c, t);
  for (std::size_t i = 0; i < N; i += 8) {
    __m256i x = load(c.coeffs.data() + i);
    __m256i y = load(t.coeffs.data() + i);
    __m256i even = _mm256_sub_epi64(_mm256_setzero_si256(), _mm256_mul_epi32(x, y));
    __m256i odd = _mm256_sub_epi64(_mm256_setzero_si256(),
                                   _mm256_mul_epi32(_mm256_shuffle_epi32(x, 0xF5), _mm256_shuffle_epi32(y, 0xF5)));
#pragma GCC unroll 5
    for (std::size_t s = 0; s < L; ++s) {
      x = load(a[s].coeffs.data() + i);
      y = load(z[s].coeffs.data() + i);
      even = _mm256_add_epi64(even, _mm256_mul_epi32(x, y));
      odd = _mm256_add_epi64(odd, _mm256_mul_epi32(_mm256_shuffle_epi32(x, 0xF5), _mm256_shuffle_epi32(y, 0xF5)));
    }
    store(w.coeffs.data() + i, montgomery_reduce(even, odd));
  }
  check_bound(w, Q);
}

// The same sums, with the same bounds, sixteen coefficients at a time.
HALYX_TARGET_AVX512 void matrix_row_avx512(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept {
  check_matrix_row_inputs(a, z, c, t);
  for (std::size_t i = 0; i < N; i += 16) {
    __m512i x = load512(c.coeffs.data() + i);
    __m512i y = load512(t.coeffs.data() + i);
    __m512i even = _mm512_sub_epi64(_mm512_setzero_si512(), multiply_even(x, y));
    __m512i odd = _mm512_sub_epi64(_mm512_setzero_si512(), multiply_even(odd_lanes_down(x), odd_lanes_down(y)));
#pragma GCC unroll 5
    for (std::size_t s = 0; s < L; ++s) {
      x = load512(a[s].coeffs.data() + i);
      y = load512(z[s].coeffs.data() + i);
      even = _mm512_add_epi64(even, multiply_even(x, y));
      odd = _mm512_add_epi64(odd, multiply_even(odd_lanes_down(x), odd_lanes_down(y)));
    }
    store512(w.coeffs.data() + i, montgomery_reduce(even, odd));
  }
  check_bound(w, Q);
}

}  // namespace halyx::mldsa::x86_64

#endif
