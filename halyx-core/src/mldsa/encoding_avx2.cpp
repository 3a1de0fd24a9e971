// The AVX2 kernels around the transforms: z and t1 unpacked, and w1 packed, eight coefficients to
// a register.
//
// The fields are little-endian bit strings, so every coefficient is a few consecutive bytes shifted
// right by a constant: vpshufb gathers each lane's bytes, vpsrlvd/vpsllvd shifts each lane by its
// own amount, and a mask drops the neighbour's bits. vpshufb moves bytes only within a 128-bit
// half, so each half is loaded with the bytes of its own four coefficients.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "mldsa/arith.hpp"
#include "mldsa/encoding.hpp"
#include "mldsa/params.hpp"
#include "mldsa/poly.hpp"
#include "mldsa/x86_arith.hpp"

// Every function below, helpers included, carries the AVX2 target; the file itself is compiled for
// the baseline (see ntt_avx2.cpp).
#define HALYX_AVX2 __attribute__((target("avx2,bmi2")))

namespace halyx::mldsa::avx2 {
namespace {

// 16 bytes at p into each 128-bit half.
HALYX_AVX2 inline __m256i load_both_halves(const std::uint8_t* p) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 16 bytes at `low` into the low half and 16 at `high` into the high half.
HALYX_AVX2 inline __m256i load_halves(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// A vpshufb index with its top bit set writes a zero byte. -128 keeps the top bit when a few bytes
// are added to the whole index, which moves the gathered bytes.
constexpr char ZERO = -128;

// Eight coefficients of t1 * 2^d from the 16 bytes in each half, by `gather`: lane k gets bytes
// (10 k) / 8 and the next of its half and is shifted left by 13 - (10 k) % 8, which puts its field
// at bit 13, where the mask keeps it.
HALYX_AVX2 inline __m256i t1_shifted8(__m256i bytes, __m256i gather) {
  const __m256i shifts = _mm256_setr_epi32(13, 11, 9, 7, 13, 11, 9, 7);
  const __m256i fields = _mm256_sllv_epi32(_mm256_shuffle_epi8(bytes, gather), shifts);
  return _mm256_and_si256(fields, _mm256_set1_epi32(1023 << D));
}

}  // namespace

// Coefficients 8j .. 8j + 7 are the ten bytes from 10 j, which one 16-byte load serves for both
// halves. The last eight would read 6 bytes past the row, so their load ends at the row's end and
// the gather skips the 6 bytes before their own.
HALYX_AVX2 void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept {
  const __m256i gather = _mm256_setr_epi8(0, 1, ZERO, ZERO, 1, 2, ZERO, ZERO, 2, 3, ZERO, ZERO, 3, 4, ZERO, ZERO,  //
                                          5, 6, ZERO, ZERO, 6, 7, ZERO, ZERO, 7, 8, ZERO, ZERO, 8, 9, ZERO, ZERO);
  std::int32_t* out = p.coeffs.data();
  for (std::size_t j = 0; j + 1 < N / 8; ++j) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8 * j), t1_shifted8(load_both_halves(bytes + 10 * j), gather));
  }
  constexpr std::size_t last = N / 8 - 1;
  _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8 * last),
                     t1_shifted8(load_both_halves(bytes + T1_POLY_BYTES - 16), _mm256_add_epi8(gather, _mm256_set1_epi8(6))));
}

// Coefficients 8j .. 8j + 7 are the twenty bytes from 20 j: the low half loads the first 16, the
// high half the 16 from 20 j + 4, so no load leaves the row. Coefficient k starts at byte 5k / 2
// (relative to its half's load), shifted by 4 bits when k is odd.
//
// |z| < gamma1 < q / 2, so the centred norm of z mod q is |z|, and the largest |z| decides.
HALYX_AVX2 bool unpack_z(Poly& p, const std::uint8_t* bytes) noexcept {
  const __m256i gather = _mm256_setr_epi8(0, 1, 2, ZERO, 2, 3, 4, ZERO, 5, 6, 7, ZERO, 7, 8, 9, ZERO,  //
                                          6, 7, 8, ZERO, 8, 9, 10, ZERO, 11, 12, 13, ZERO, 13, 14, 15, ZERO);
  const __m256i shifts = _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4);
  const __m256i field = _mm256_set1_epi32((1 << 20) - 1), gamma1 = _mm256_set1_epi32(GAMMA1);
  __m256i largest = _mm256_setzero_si256();
  std::int32_t* out = p.coeffs.data();
  for (std::size_t j = 0; j < N / 8; ++j) {
    const __m256i raw = load_halves(bytes + 20 * j, bytes + 20 * j + 4);
    const __m256i v = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(raw, gather), shifts), field);
    const __m256i z = _mm256_sub_epi32(gamma1, v);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8 * j), z);
    largest = _mm256_max_epi32(largest, _mm256_abs_epi32(z));
  }
  const __m256i outside = _mm256_cmpgt_epi32(largest, _mm256_set1_epi32(GAMMA1 - BETA - 1));
  return _mm256_movemask_epi8(outside) == 0;
}

}  // namespace halyx::mldsa::avx2

#endif
