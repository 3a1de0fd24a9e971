// The NTT and its inverse with AVX2: eight coefficients to a register, each product by a twiddle
// taken with Shoup's method, which needs the high halves of 64-bit products on the even and the odd
// lanes and the low halves of two products on all eight lanes at once; only the inverse's last
// layer, whose outputs must be below q, takes Montgomery products.
//
// Butterflies whose coefficients lie 8 or more apart pair whole registers and share one twiddle
// factor, broadcast. The last three layers of the forward transform (the first three of the inverse)
// pair coefficients within a register; rather than shuffle at each of them, each block of 64
// coefficients is transposed as an 8 x 8 matrix, so that those butterflies also pair whole
// registers, with one twiddle per lane from tables built at compile time, and is transposed back.
//
// The six layers within a block run on two blocks side by side. One butterfly is a chain of six
// dependent instructions (product, shift, blend, product by q, subtraction, sum or difference),
// 14 cycles on Zen 5, where the vector additions and shifts take two cycles and the products three,
// so one block's six layers are some 100 cycles of dependent work that the core overlapped with
// the next block only in part; two interleaved chains fill each other's gaps, for a few values
// spilled to the stack, sixteen data registers being all there are.
#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>
#include <halyx/mldsa/x86_64/montgomery.hpp>

// Every function below, helpers included, carries the AVX2 target. The file itself is compiled for
// the baseline, so the inline functions it shares with other files through headers get no vector
// encodings that the linker could pick for the portable path.

namespace halyx::mldsa::x86_64 {
namespace {

// The twiddle of index m with no factor R: zeta^BitRev8(m) mod q, centred, congruent to
// ZETAS_MONTGOMERY[m] * 2^-32.
constexpr std::array<std::int32_t, N> ZETAS = [] {
  std::array<std::int32_t, N> z{};
  for (unsigned m = 0; m < N; ++m) z[m] = centred(power_mod_q(1753, bit_reverse8(m)));
  return z;
}();

// floor(zeta 2^32 / q), for |zeta| <= (q - 1) / 2: below 2^31 in size, so a signed 32-bit value.
// Division in C++ truncates, and zeta 2^32 is a multiple of the prime q only when zeta is 0.
constexpr std::int32_t shoup_quotient(std::int32_t zeta) {
  const std::int64_t n = std::int64_t{zeta} * MONTGOMERY_R;
  return static_cast<std::int32_t>(n / Q - (n % Q < 0 ? 1 : 0));
}

constexpr std::array<std::int32_t, N> ZETAS_QUOTIENT = [] {
  std::array<std::int32_t, N> z{};
  for (std::size_t m = 0; m < N; ++m) z[m] = shoup_quotient(ZETAS[m]);
  return z;
}();

// shoup_multiply's bounds rest on each quotient being the floor: zeta 2^32 - quotient q in [0, q).
static_assert([] {
  for (std::size_t m = 0; m < N; ++m) {
    const std::int64_t rest = std::int64_t{ZETAS[m]} * MONTGOMERY_R - std::int64_t{ZETAS_QUOTIENT[m]} * Q;
    if (rest < 0 || rest >= Q) return false;
  }
  return true;
}());

// One twiddle per lane: `zeta` and `quotient` (shoup_quotient) lane by lane, and in `quotient_odd`
// each odd lane's quotient moved to the even lane below it, where the product instruction reads it.
struct alignas(32) LaneTwiddle {
  std::array<std::int32_t, 8> zeta;
  std::array<std::int32_t, 8> quotient;
  std::array<std::int32_t, 8> quotient_odd;
};

// After the transpose, register j of block b holds coefficients 64b + 8r + j in its lanes r = 0..7.
// A layer of span len (4, 2 or 1) then pairs register j with register j + len, and lane r belongs to
// the butterfly block that starts at 64b + 8r + first, where `first` is j rounded down to a multiple
// of 2 len. A block needs 1 + 2 + 4 twiddles, held in the order its layers use them: spans 4, 2, 1
// forward, spans 1, 2, 4 in the inverse.
constexpr std::size_t LANE_TWIDDLES_PER_BLOCK = 7;
using LaneTwiddles = std::array<LaneTwiddle, 4 * LANE_TWIDDLES_PER_BLOCK>;

constexpr LaneTwiddles lane_twiddles(bool forward) {
  LaneTwiddles table{};
  std::size_t slot = 0;
  for (std::size_t block = 0; block < 4; ++block) {
    for (std::size_t layer = 0; layer < 3; ++layer) {
      const std::size_t len = forward ? 4 >> layer : 1 << layer;
      for (std::size_t first = 0; first < 8; first += 2 * len) {
        LaneTwiddle& t = table[slot++];
        for (std::size_t r = 0; r < 8; ++r) {
          const std::size_t start = 64 * block + 8 * r + first;
          t.zeta[r] = ZETAS[forward ? forward_zeta_index(len, start) : inverse_zeta_index(len, start)];
          t.quotient[r] = shoup_quotient(t.zeta[r]);
        }
        for (std::size_t r = 0; r < 8; ++r) t.quotient_odd[r] = t.quotient[r | 1];
      }
    }
  }
  return table;
}

constexpr LaneTwiddles FORWARD_LANE_TWIDDLES = lane_twiddles(true);
constexpr LaneTwiddles INVERSE_LANE_TWIDDLES = lane_twiddles(false);

// The inverse's last layer multiplies its differences by zetas[1] and then by INVERSE_NTT_SCALE, two
// Montgomery products; one product with this constant, their product times 2^-32, does both.
constexpr std::int32_t LAST_INVERSE_TWIDDLE =
    centred(std::int64_t{ZETAS_MONTGOMERY[1]} * INVERSE_NTT_SCALE % Q * power_mod_q(MONTGOMERY_R % Q, Q - 2));

// q on every lane, hidden from the optimiser: GCC would otherwise turn a vpmulld by q into two shifts,
// a subtraction and an addition (q = 2^23 - 2^13 + 1), four operations where one does, and the
// vector units, not the multipliers, bound these transforms.
HALYX_TARGET_AVX2 inline __m256i q_lanes() {
  __m256i q = _mm256_set1_epi32(Q);
  __asm__("" : "+x"(q));
  return q;
}

struct Twiddle {
  __m256i zeta;
  __m256i quotient;
  __m256i quotient_odd;
};

// The twiddle ZETAS[m] on every lane.
HALYX_TARGET_AVX2 inline Twiddle broadcast(std::size_t m) {
  const __m256i quotient = _mm256_set1_epi32(ZETAS_QUOTIENT[m]);
  return {_mm256_set1_epi32(ZETAS[m]), quotient, quotient};
}

HALYX_TARGET_AVX2 inline Twiddle load(const LaneTwiddle& t) {
  return {_mm256_load_si256(reinterpret_cast<const __m256i*>(t.zeta.data())),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(t.quotient.data())),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(t.quotient_odd.data()))};
}

// Returns a * zeta mod q lane by lane, in (-q B / 2^32, q + q B / 2^32) when |a| <= B, so in
// (-q/2, 3q/2) for any 32-bit a; by Shoup's method, four multiplications where a Montgomery product
// takes five. With zeta 2^32 / q = quotient + f, f in [0, 1), the high half of a * quotient is
// h = floor(a zeta / q - a f / 2^32) = a zeta / q - a f / 2^32 - g with g in [0, 1), so
// a zeta - h q = q (a f / 2^32 + g), the bound above. That value fits 32 bits, so it is computed
// from the low halves of a zeta and h q alone.
// Forward, with |a| < 2^27: in (-q/32, 33q/32). Inverse, with |a| < 2^30: in (-q/4, 5q/4).
// The empty asm hands the butterflies the difference itself: GCC would otherwise fold a zeta and h q
// into them apart, as (a + b zeta) - h q and (a - b zeta) + h q, four additions where three do, and
// in the inverse across two layers.
HALYX_TARGET_AVX2 inline __m256i shoup_multiply(__m256i a, const Twiddle& w) {
  const __m256i even = _mm256_mul_epi32(a, w.quotient);
  const __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), w.quotient_odd);
  const __m256i h = _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
  __m256i r = _mm256_sub_epi32(_mm256_mullo_epi32(a, w.zeta), _mm256_mullo_epi32(h, q_lanes()));
  __asm__("" : "+x"(r));
  return r;
}

// Returns a * zeta * 2^-32 mod q lane by lane, below q in size, for a constant zeta, at most q/2 in
// size, and any 32-bit a: the products are at most 2^30 q in size, below the 2^31 q that
// montgomery_reduce (montgomery.hpp) takes.
HALYX_TARGET_AVX2 inline __m256i montgomery_multiply(__m256i a, std::int32_t zeta) {
  const __m256i z = _mm256_set1_epi32(zeta);
  return montgomery_reduce(_mm256_mul_epi32(a, z), _mm256_mul_epi32(_mm256_srli_epi64(a, 32), z));
}

// Returns a mod q lane by lane, below q in size, for a in [-2^31 + 2^22, 2^31 - 2^22): as reduce()
// in arith.hpp.
HALYX_TARGET_AVX2 inline __m256i reduce(__m256i a) {
  const __m256i t = _mm256_srai_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(1 << 22)), 23);
  return _mm256_sub_epi32(a, _mm256_mullo_epi32(t, q_lanes()));
}

// (a, b) := (a + zeta b, a - zeta b). With |b| < 2^27, both outputs exceed |a| by less than 33q/32
// (shoup_multiply).
HALYX_TARGET_AVX2 inline void forward_butterfly(__m256i& a, __m256i& b, const Twiddle& w) {
  const __m256i t = shoup_multiply(b, w);
  b = _mm256_sub_epi32(a, t);
  a = _mm256_add_epi32(a, t);
}

// (a, b) := (a + b, zeta (b - a)) with the positive twiddle, which is the inverse's butterfly with
// its negated twiddle. The sum's bound is the sum of the bounds; with |b - a| < 2^30, the product
// is below 5q/4 (shoup_multiply).
HALYX_TARGET_AVX2 inline void inverse_butterfly(__m256i& a, __m256i& b, const Twiddle& w) {
  const __m256i d = _mm256_sub_epi32(b, a);
  a = _mm256_add_epi32(a, b);
  b = shoup_multiply(d, w);
}

// Transposes the 8 x 8 matrix whose rows are x[0..7]: it swaps single lanes within 2 x 2 blocks,
// then pairs of lanes within 4 x 4 blocks, then the 128-bit halves.
HALYX_TARGET_AVX2 inline void transpose(__m256i (&x)[8]) {
  __m256i t[8];
#pragma GCC unroll 4
  for (std::size_t i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(x[i], x[i + 1]);  // x[i][0] x[i+1][0] x[i][1] x[i+1][1] | same at 4, 5
    t[i + 1] = _mm256_unpackhi_epi32(x[i], x[i + 1]);  // the same at 2, 3 | 6, 7
  }
  __m256i u[8];
#pragma GCC unroll 2
  for (std::size_t i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);  // column 0 of rows i..i+3 | column 4
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);  // columns 1 | 5
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);  // columns 2 | 6
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);  // columns 3 | 7
  }
#pragma GCC unroll 4
  for (std::size_t j = 0; j < 4; ++j) {
    x[j] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x20);
    x[j + 4] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x31);
  }
}

}  // namespace

// From |p| < q, each of the eight layers adds less than 33q/32 to the bound (forward_butterfly, while
// the coefficients stay below 2^27), so they stay below q + 8 * 33q/32 < 10q < 2^27 until the
// reduction before the last transpose, which takes them below q.
HALYX_TARGET_AVX2 void ntt_avx2(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  // Spans 128 and 64 on the four quarters at once, eight columns at a time.
  for (std::size_t i = 0; i < N / 4; i += 8) {
    __m256i v[4];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) v[k] = load(a + i + 64 * k);
    const Twiddle half = broadcast(forward_zeta_index(128, 0));
    forward_butterfly(v[0], v[2], half);
    forward_butterfly(v[1], v[3], half);
    forward_butterfly(v[0], v[1], broadcast(forward_zeta_index(64, 0)));
    forward_butterfly(v[2], v[3], broadcast(forward_zeta_index(64, 128)));
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) store(a + i + 64 * k, v[k]);
  }
  // The other six layers stay within a quarter, which eight registers hold; two quarters at a time.
  for (std::size_t pair = 0; pair < 2; ++pair) {
    __m256i x[2][8];
#pragma GCC unroll 2
    for (std::size_t u = 0; u < 2; ++u) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) x[u][j] = load(a + 64 * (2 * pair + u) + 8 * j);
    }
#pragma GCC unroll 3
    for (std::size_t step = 4; step >= 1; step /= 2) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) {
        if ((j & step) != 0) continue;
#pragma GCC unroll 2
        for (std::size_t u = 0; u < 2; ++u) {
          const std::size_t m = forward_zeta_index(8 * step, 64 * (2 * pair + u) + 8 * j);
          forward_butterfly(x[u][j], x[u][j + step], broadcast(m));
        }
      }
    }
    transpose(x[0]);
    transpose(x[1]);
    const LaneTwiddle* w0 = &FORWARD_LANE_TWIDDLES[LANE_TWIDDLES_PER_BLOCK * 2 * pair];
    const LaneTwiddle* w1 = w0 + LANE_TWIDDLES_PER_BLOCK;
#pragma GCC unroll 3
    for (std::size_t len = 4; len >= 1; len /= 2) {
#pragma GCC unroll 4
      for (std::size_t first = 0; first < 8; first += 2 * len, ++w0, ++w1) {
#pragma GCC unroll 4
        for (std::size_t j = first; j < first + len; ++j) {
          forward_butterfly(x[0][j], x[0][j + len], load(*w0));
          forward_butterfly(x[1][j], x[1][j + len], load(*w1));
        }
      }
    }
#pragma GCC unroll 2
    for (std::size_t u = 0; u < 2; ++u) {
#pragma GCC unroll 8
      for (auto& v : x[u]) v = reduce(v);
      transpose(x[u]);
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) store(a + 64 * (2 * pair + u) + 8 * j, x[u][j]);
    }
  }
  check_bound(p, Q);
}

// The layers run in the forward transform's reverse. From |p| < q, the coefficients are below 2^k q
// after k layers, never reduced: the sums double the bound, and in the first seven layers the
// differences are below 2^7 q < 2^30, so their products are below 5q/4 < 2q (inverse_butterfly).
// The last layer's products, Montgomery products below q, also scale, and its sums, below
// 256q < 2^31, are scaled, which reduces them below q.
HALYX_TARGET_AVX2 void inverse_ntt_montgomery_avx2(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  for (std::size_t pair = 0; pair < 2; ++pair) {
    __m256i x[2][8];
#pragma GCC unroll 2
    for (std::size_t u = 0; u < 2; ++u) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) x[u][j] = load(a + 64 * (2 * pair + u) + 8 * j);
      transpose(x[u]);
    }
    const LaneTwiddle* w0 = &INVERSE_LANE_TWIDDLES[LANE_TWIDDLES_PER_BLOCK * 2 * pair];
    const LaneTwiddle* w1 = w0 + LANE_TWIDDLES_PER_BLOCK;
#pragma GCC unroll 3
    for (std::size_t len = 1; len <= 4; len *= 2) {
#pragma GCC unroll 4
      for (std::size_t first = 0; first < 8; first += 2 * len, ++w0, ++w1) {
#pragma GCC unroll 4
        for (std::size_t j = first; j < first + len; ++j) {
          inverse_butterfly(x[0][j], x[0][j + len], load(*w0));
          inverse_butterfly(x[1][j], x[1][j + len], load(*w1));
        }
      }
    }
    transpose(x[0]);
    transpose(x[1]);
#pragma GCC unroll 3
    for (std::size_t step = 1; step <= 4; step *= 2) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) {
        if ((j & step) != 0) continue;
#pragma GCC unroll 2
        for (std::size_t u = 0; u < 2; ++u) {
          const std::size_t m = inverse_zeta_index(8 * step, 64 * (2 * pair + u) + 8 * j);
          inverse_butterfly(x[u][j], x[u][j + step], broadcast(m));
        }
      }
    }
#pragma GCC unroll 2
    for (std::size_t u = 0; u < 2; ++u) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) store(a + 64 * (2 * pair + u) + 8 * j, x[u][j]);
    }
  }
  // Spans 64 and 128 on the four quarters at once. The last layer's products are Montgomery
  // products, below q, as the contract asks; the final sums are below 256q < 2^31, 32-bit values
  // that the scaling product reduces below q.
  for (std::size_t i = 0; i < N / 4; i += 8) {
    __m256i v[4];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) v[k] = load(a + i + 64 * k);
    inverse_butterfly(v[0], v[1], broadcast(inverse_zeta_index(64, 0)));
    inverse_butterfly(v[2], v[3], broadcast(inverse_zeta_index(64, 128)));
#pragma GCC unroll 2
    for (std::size_t k = 0; k < 2; ++k) {
      store(a + i + 64 * k, montgomery_multiply(_mm256_add_epi32(v[k], v[k + 2]), INVERSE_NTT_SCALE));
      store(a + i + 128 + 64 * k, montgomery_multiply(_mm256_sub_epi32(v[k + 2], v[k]), LAST_INVERSE_TWIDDLE));
    }
  }
  check_bound(p, Q);
}

}  // namespace halyx::mldsa::x86_64

#endif
