// The AVX2 kernels around the transforms: z and t1 unpacked, and w1 packed.
//
// The fields of z and t1 are little-endian bit strings, so every coefficient is a few consecutive
// bytes shifted by a constant: vpshufb gathers each lane's bytes, vpsrlvd/vpsllvd shifts each lane
// by its own amount, and a mask drops the neighbour's bits. vpshufb moves bytes only within a
// 128-bit half, so each half is loaded with the bytes of its own four coefficients.
//
// The high bits of w are a division by a constant, done as a multiplication, and the hint moves a
// few of them afterwards, one at a time.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

// Every function below that runs, helpers included, carries the AVX2 target; the file itself is
// compiled for the baseline (see ntt.cpp).

namespace halyx::mldsa::x86_64 {
namespace {

// 16 bytes at p into each 128-bit half.
HALYX_TARGET_AVX2 inline __m256i load_both_halves(const std::uint8_t* p) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 16 bytes at `low` into the low half and 16 at `high` into the high half.
HALYX_TARGET_AVX2 inline __m256i load_halves(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// A vpshufb index with its top bit set writes a zero byte. -128 keeps the top bit when a few bytes
// are added to the whole index, which moves the gathered bytes.
constexpr char ZERO = -128;

// Eight coefficients of t1 * 2^d from the 16 bytes in each half, by `gather`: lane k gets bytes
// (10 k) / 8 and the next of its half and is shifted left by 13 - (10 k) % 8, which puts its field
// at bit 13, where the mask keeps it.
HALYX_TARGET_AVX2 inline __m256i t1_shifted8(__m256i bytes, __m256i gather) {
  const __m256i shifts = _mm256_setr_epi32(13, 11, 9, 7, 13, 11, 9, 7);
  const __m256i fields = _mm256_sllv_epi32(_mm256_shuffle_epi8(bytes, gather), shifts);
  return _mm256_and_si256(fields, _mm256_set1_epi32(1023 << D));
}

// The high bits r1 = floor((r + gamma2 - 1) / (2 gamma2)) of r in [0, q). As 2 gamma2 = 2^9 * 1023,
// r1 = floor(u / 1023) with u = (r + gamma2 - 1) >> 9 < 16880, and for those u
// floor(u / 1023) = (u * 32801) >> 25: 1023 * 32801 = 2^25 + 991, so with u = 1023 a + b, b < 1023,
//   u * 32801 / 2^25 = u / 1023 + u * 991 / (1023 * 2^25) = a + (b + u * 991 / 2^25) / 1023,
// and u * 991 < 2^24 keeps the last fraction below (b + 1/2) / 1023 < 1. u and the multiplier fit
// 16 bits, so vpmulhuw yields the product >> 16, and a shift by 9 finishes.
constexpr std::int32_t HIGH_BITS_LARGEST_U = (Q - 1 + GAMMA2 - 1) >> 9;
constexpr std::int32_t HIGH_BITS_MULTIPLIER = 32801;
constexpr bool high_bits_by_multiplication_is_exact() {
  for (std::int32_t u = 0; u <= HIGH_BITS_LARGEST_U; ++u) {
    if ((u * HIGH_BITS_MULTIPLIER) >> 25 != u / 1023) return false;
  }
  return true;
}
static_assert(HIGH_BITS_LARGEST_U < 16880 && HIGH_BITS_MULTIPLIER <= std::numeric_limits<std::uint16_t>::max());
static_assert(high_bits_by_multiplication_is_exact());

// u = (r + gamma2 - 1) >> 9 of eight coefficients, r being w's representative in [0, q), for |w| < q.
// Read as unsigned, a negative w exceeds 2^31 and w + q is below q, while for w >= 0 the sum is the
// larger: either way the smaller of the two is r.
HALYX_TARGET_AVX2 inline __m256i high_bits_index(__m256i w) {
  const __m256i r = _mm256_min_epu32(w, _mm256_add_epi32(w, _mm256_set1_epi32(Q)));
  return _mm256_srli_epi32(_mm256_add_epi32(r, _mm256_set1_epi32(GAMMA2 - 1)), 9);
}

// The high bits of sixteen coefficients from their u, as 32-bit lanes r1[2i] | r1[2i + 1] << 4.
// vpackusdw keeps adjacent coefficients adjacent, so every 32-bit lane pairs coefficients 2i and
// 2i + 1, in the lane order of its packing. The top r1, 16, wraps to 0 under the mask.
HALYX_TARGET_AVX2 inline __m256i high_bits_pairs(__m256i u_low, __m256i u_high) {
  const __m256i u = _mm256_packus_epi32(u_low, u_high);
  const __m256i product = _mm256_mulhi_epu16(u, _mm256_set1_epi16(static_cast<short>(HIGH_BITS_MULTIPLIER)));
  const __m256i r1 = _mm256_and_si256(_mm256_srli_epi16(product, 9), _mm256_set1_epi16(15));
  return _mm256_madd_epi16(r1, _mm256_set1_epi32(1 << 20 | 1));
}

}  // namespace

// Coefficients 8j .. 8j + 7 are the ten bytes from 10 j, which one 16-byte load serves for both
// halves. The last eight would read 6 bytes past the row, so their load ends at the row's end and
// the gather skips the 6 bytes before their own.
HALYX_TARGET_AVX2 void unpack_t1_shifted_avx2(Poly& p, const std::uint8_t* bytes) noexcept {
  const __m256i gather = _mm256_setr_epi8(0, 1, ZERO, ZERO, 1, 2, ZERO, ZERO, 2, 3, ZERO, ZERO, 3, 4, ZERO, ZERO,  //
                                          5, 6, ZERO, ZERO, 6, 7, ZERO, ZERO, 7, 8, ZERO, ZERO, 8, 9, ZERO, ZERO);
  std::int32_t* out = p.coeffs.data();
  for (std::size_t j = 0; j + 1 < N / 8; ++j) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8 * j), t1_shifted8(load_both_halves(bytes + 10 * j), gather));
  }
  constexpr std::size_t last = N / 8 - 1;
  const __m256i last_gather = _mm256_add_epi8(gather, _mm256_set1_epi8(6));
  _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8 * last),
                     t1_shifted8(load_both_halves(bytes + T1_POLY_BYTES - 16), last_gather));
}

// Coefficients 8j .. 8j + 7 are the twenty bytes from 20 j: the low half loads the first 16, the
// high half the 16 from 20 j + 4, so no load leaves the row. Coefficient k starts at byte 5k / 2
// (relative to its half's load), shifted by 4 bits when k is odd.
//
// |z| <= gamma1 < q / 2, so the centred norm of z mod q is |z|, and the largest |z| decides.
HALYX_TARGET_AVX2 bool unpack_z_avx2(Poly& p, const std::uint8_t* bytes) noexcept {
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

// 64 coefficients a step: their u in 32-bit lanes are packed to 16-bit lanes, their high bits
// paired into bytes, and those packed to bytes, every packing interleaving the 128-bit halves of
// its operands. Of the 32 bytes of output, counted in 16-bit units, the even units (bytes 0-1, 4-5,
// .., 28-29) then sit in the low half and the odd ones in the high half; vpermq and vpshufb put
// them in order.
HALYX_TARGET_AVX2 void encode_w1_avx2(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept {
  check_bound(w, Q);
  const __m256i in_order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                            0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  for (std::size_t i = 0; i < N; i += 64) {
    __m256i u[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) {
      u[k] = high_bits_index(_mm256_load_si256(reinterpret_cast<const __m256i*>(w.coeffs.data() + i + 8 * k)));
    }
    const __m256i low = _mm256_packus_epi32(high_bits_pairs(u[0], u[1]), high_bits_pairs(u[2], u[3]));
    const __m256i high = _mm256_packus_epi32(high_bits_pairs(u[4], u[5]), high_bits_pairs(u[6], u[7]));
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(low, high), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i / 2), _mm256_shuffle_epi8(bytes, in_order));
  }
  // The hint moves r1 one step towards r0's side, r0 = 0 counting as the negative one. Below the
  // top band r0 = r - r1 * 2 gamma2 lies in (-gamma2, gamma2], so r0 > 0 is r0 in (0, gamma2]. In
  // the top band (r >= q - gamma2) r1 was 16, packed as 0, and r0 = r - q is negative, while
  // r - 0 * 2 gamma2 = r exceeds gamma2: the same test then moves it down, to 15, as it must.
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t at = positions[k];
    const unsigned shift = 4 * (at % 2);
    const std::int32_t r1 = out[at / 2] >> shift & 15;
    const std::int32_t r0 = to_canonical(w.coeffs[at]) - r1 * 2 * GAMMA2;
    const std::int32_t moved = (r0 > 0 && r0 <= GAMMA2 ? r1 + 1 : r1 - 1) & 15;
    out[at / 2] = static_cast<std::uint8_t>((out[at / 2] & (0xF0 >> shift)) | moved << shift);
  }
}

}  // namespace halyx::mldsa::x86_64

#endif
