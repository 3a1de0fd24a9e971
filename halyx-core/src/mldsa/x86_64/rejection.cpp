// Rejection sampling with AVX2 and AVX-512: spread a vector's worth of three-byte candidates into
// 32-bit lanes, mask each to 23 bits, compare with q, and pack the kept ones to the front.
#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

namespace halyx::mldsa::x86_64 {
namespace {

inline constexpr int CANDIDATE_MASK = 0x7FFFFF;  // b2's top bit never counts

// For each 8-bit mask of kept lanes, the indices of the kept lanes in order, one per byte (the
// unused bytes are 0). vpermd with these indices packs the kept lanes to the front.
inline constexpr std::array<std::uint64_t, 256> PACK_INDICES = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned kept = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if (mask & (1u << lane)) table[mask] |= std::uint64_t{lane} << (8 * kept++);
    }
  }
  return table;
}();

// Returns the candidates of bytes[0..24) in 8 lanes, masked to 23 bits (AVX2). Reads bytes[0..32).
__attribute__((always_inline)) HALYX_TARGET_AVX2 inline __m256i candidates8(const std::uint8_t* bytes) noexcept {
  // vpshufb moves bytes only within each 128-bit half: give the low half bytes 0..15 (candidates
  // 0..3 at bytes 0..11) and the high half bytes 8..23 (candidates 4..7 at its bytes 4..15).
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
  const __m256i halves = _mm256_permute4x64_epi64(raw, 0x94);  // 64-bit words 0, 1 | 1, 2
  const __m256i spread = _mm256_shuffle_epi8(
      halves, _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                               4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1));
  return _mm256_and_si256(spread, _mm256_set1_epi32(CANDIDATE_MASK));
}

}  // namespace

// out: 256 entries, [0, filled) in use, filled <= 256. bytes: len + 32 readable, len % 3 == 0.
// Returns the new count, at most 256; candidates are values in [0, 2^23), kept when below q.
HALYX_TARGET_AVX2 std::size_t rejection_sample_avx2(
    std::int32_t* out, std::size_t filled, const std::uint8_t* bytes, std::size_t len) noexcept {
  const __m256i q = _mm256_set1_epi32(Q);
  std::size_t i = 0;
  // Whole steps while 24 bytes remain and 8 slots are free: the full store needs no staging, and
  // every candidate counts. (A block of SHAKE128 takes seven of them unless it is an entry's last.)
  while (len - i >= 24 && N - filled >= 8) {
    const __m256i v = candidates8(bytes + i);
    const unsigned kept = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(q, v))));
    const __m256i indices = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(PACK_INDICES[kept])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + filled), _mm256_permutevar8x32_epi32(v, indices));
    filled += static_cast<std::size_t>(_mm_popcnt_u32(kept));
    i += 24;
  }
  while (filled < N && i + 3 <= len) {
    // A short tail takes fewer than 8 candidates; the load still reads 32 bytes from i, at most
    // 29 past len.
    const std::size_t count = std::min<std::size_t>(8, (len - i) / 3);
    const __m256i v = candidates8(bytes + i);
    const unsigned in_range = (1u << count) - 1;
    const unsigned kept =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(q, v)))) & in_range;
    const __m256i indices = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(PACK_INDICES[kept])));
    const __m256i packed = _mm256_permutevar8x32_epi32(v, indices);
    const std::size_t room = N - filled;
    const std::size_t taken = std::min<std::size_t>(static_cast<std::size_t>(_mm_popcnt_u32(kept)), room);
    if (room >= 8) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + filled), packed);
    } else {
      // The last few slots: a full store would run past out[255].
      alignas(32) std::int32_t staged[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(staged), packed);
      std::memcpy(out + filled, staged, taken * sizeof(std::int32_t));
    }
    filled += taken;
    i += 3 * count;
  }
  return filled;
}

// The same contract, 16 candidates from 48 bytes at a time. vpermb spreads them straight into
// 32-bit lanes; vpcompressd packs the kept ones in a register, and one store writes them. While
// 16 slots are free that store is whole (the slots past the count are scratch), which brought a
// 168-byte block from 9 ns to 6 here; near the end it is masked to the slots left. (vpcompressd
// straight to memory would need no separate store, but took 110 ns per block.)
HALYX_TARGET_AVX512 std::size_t rejection_sample_avx512(
    std::int32_t* out, std::size_t filled, const std::uint8_t* bytes, std::size_t len) noexcept {
  // Byte 4j + k of the result is byte 3j + k of the input for k < 3; byte 4j + 3 is masked off.
  const __m512i spread = _mm512_set_epi8(
      63, 47, 46, 45, 63, 44, 43, 42, 63, 41, 40, 39, 63, 38, 37, 36, 63, 35, 34, 33, 63, 32, 31, 30,
      63, 29, 28, 27, 63, 26, 25, 24, 63, 23, 22, 21, 63, 20, 19, 18, 63, 17, 16, 15, 63, 14, 13, 12,
      63, 11, 10, 9, 63, 8, 7, 6, 63, 5, 4, 3, 63, 2, 1, 0);
  const __m512i mask23 = _mm512_set1_epi32(CANDIDATE_MASK), q = _mm512_set1_epi32(Q);
  std::size_t i = 0;
  // Each mask is counted through a general register (_cvtmask16_u32): GCC 12, compiling this for
  // ThreadSanitizer, spilled a 16-bit mask and counted 32 bits of its stack slot, and the counts
  // then ran past the polynomial. Whole steps while 48 bytes remain and 16 slots are free: the
  // load (64 bytes, at most 16 past len) and the store need no masks, and every candidate counts.
  // Then one of 8 candidates in 256-bit registers, which finishes a block of SHAKE128 (168 bytes:
  // 3 x 48 + 24) unless it is an entry's last; the general loop below takes whatever is left.
  while (len - i >= 48 && filled + 16 <= N) {
    // The zero-masking form with every byte selected is plain vpermb; GCC 12's unmasked intrinsic
    // reads an undefined register and trips -Wmaybe-uninitialized.
    const __m512i v = _mm512_and_si512(
        _mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, _mm512_loadu_si512(bytes + i)), mask23);
    const __mmask16 kept = _mm512_cmplt_epi32_mask(v, q);
    _mm512_storeu_si512(out + filled, _mm512_maskz_compress_epi32(kept, v));
    filled += static_cast<std::size_t>(_mm_popcnt_u32(_cvtmask16_u32(kept)));
    i += 48;
  }
  if (len - i >= 24 && filled + 8 <= N) {
    const __m256i spread8 = _mm256_setr_epi8(0, 1, 2, 31, 3, 4, 5, 31, 6, 7, 8, 31, 9, 10, 11, 31, 12, 13, 14, 31, 15,
                                             16, 17, 31, 18, 19, 20, 31, 21, 22, 23, 31);
    const __m256i v = _mm256_and_si256(
        _mm256_maskz_permutexvar_epi8(~__mmask32{0}, spread8,
                                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i))),
        _mm256_set1_epi32(CANDIDATE_MASK));
    const __mmask8 kept = _mm256_cmplt_epi32_mask(v, _mm256_set1_epi32(Q));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + filled), _mm256_maskz_compress_epi32(kept, v));
    filled += static_cast<std::size_t>(_mm_popcnt_u32(_cvtmask8_u32(kept)));
    i += 24;
  }
  while (filled < N && i + 3 <= len) {
    const std::size_t rest = len - i, count = std::min<std::size_t>(16, rest / 3);
    // 64 bytes from i while 48 remain stay within the 32 readable past len; a shorter tail loads
    // only its own bytes (rest < 48 fits the 8 bits of bzhi's index).
    __m512i raw;
    if (rest >= 48) {
      raw = _mm512_loadu_si512(bytes + i);
    } else {
      raw = _mm512_maskz_loadu_epi8(_bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(rest)), bytes + i);
    }
    const __m512i v = _mm512_and_si512(_mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, raw), mask23);
    const __mmask16 in_range = static_cast<__mmask16>(_bzhi_u32(0xFFFF, static_cast<unsigned>(count)));
    const __mmask16 kept = _mm512_mask_cmplt_epi32_mask(in_range, v, q);
    const __m512i packed = _mm512_maskz_compress_epi32(kept, v);
    const std::size_t kept_count = static_cast<std::size_t>(_mm_popcnt_u32(_cvtmask16_u32(kept)));
    const std::size_t taken = std::min<std::size_t>(kept_count, N - filled);
    const __mmask16 slots = static_cast<__mmask16>(_bzhi_u32(0xFFFF, static_cast<unsigned>(taken)));
    _mm512_mask_storeu_epi32(out + filled, slots, packed);
    filled += taken;
    i += 3 * count;
  }
  return filled;
}

}  // namespace halyx::mldsa::x86_64

#endif
