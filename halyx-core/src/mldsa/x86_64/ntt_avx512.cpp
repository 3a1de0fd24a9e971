// The NTT and its inverse with AVX-512: sixteen coefficients to a register, so that the whole
// polynomial stays in sixteen of the thirty-two registers from the first layer to the last.
//
// Layers whose butterflies span 16 or more pair whole registers and share one twiddle factor,
// broadcast. In the four layers below (spans 8, 4, 2, 1), registers 2k and 2k + 1 hold the 32
// coefficients 32k..32k+31 in an order that puts each butterfly's two coefficients in the same lane
// of the two registers; two vpermt2d per pair of registers move from one layer's order to the next,
// and the lanes take one twiddle each, from tables built at compile time.
//
// Each product is a Montgomery product, as on the AVX2 path, with one change: the table also holds
// zeta q^-1 mod 2^32, so that the factor t = a zeta q^-1 mod 2^32 comes from a product of its own,
// beside a zeta, instead of from a second product after it. t and therefore every result are the
// same as montgomery_reduce(a zeta) gives.
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

// Every function below, helpers included, carries the AVX-512 target; the file is compiled for the
// baseline (see ntt.cpp).

namespace halyx::mldsa::x86_64 {
namespace {

constexpr std::int32_t times_q_inverse(std::int32_t zeta) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(zeta) * Q_INVERSE);
}

// The order of the 32 coefficients of a pair of registers in the layer of span s (16, 8, 4, 2 or 1):
// map[r][l] is the offset, within the 32, of the coefficient in lane l of register r. The first
// register holds the 16 offsets whose bit s is clear, in increasing order; the second holds each of
// them plus s, its butterfly partner. Span 16 is the polynomial's own order.
using LaneMap = std::array<std::array<std::size_t, 16>, 2>;

constexpr LaneMap lane_map(std::size_t span) {
  LaneMap m{};
  for (std::size_t l = 0; l < 16; ++l) {
    const std::size_t below = l & (span - 1), offset = below | ((l - below) << 1);
    m[0][l] = offset;
    m[1][l] = offset + span;
  }
  return m;
}

// vpermt2d's indices from the order of span `from` to that of span `to`: lane l of register r takes
// lane i % 16 of the first register (i < 16) or of the second.
struct alignas(64) Reorder {
  std::array<std::int32_t, 16> first, second;
};

constexpr Reorder reorder(std::size_t from, std::size_t to) {
  const LaneMap source = lane_map(from), target = lane_map(to);
  Reorder result{};
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t l = 0; l < 16; ++l) {
      for (std::size_t i = 0; i < 32; ++i) {
        if (source[i / 16][i % 16] == target[r][l]) (r == 0 ? result.first : result.second)[l] = static_cast<std::int32_t>(i);
      }
    }
  }
  return result;
}

// The forward transform's orders, in the order it takes them (spans 8, 4, 2, 1, then back to 16);
// the inverse runs through them the other way round.
constexpr std::array<Reorder, 5> FORWARD_REORDERS = {reorder(16, 8), reorder(8, 4), reorder(4, 2), reorder(2, 1),
                                                     reorder(1, 16)};
constexpr std::array<Reorder, 5> INVERSE_REORDERS = {reorder(16, 1), reorder(1, 2), reorder(2, 4), reorder(4, 8),
                                                     reorder(8, 16)};

// One twiddle per lane, as the product instruction reads them: `zeta` and `zeta_q_inverse` for the
// even lanes, and in the *_odd arrays each odd lane's value moved to the even lane below it.
struct alignas(64) LaneTwiddle {
  std::array<std::int32_t, 16> zeta, zeta_odd, zeta_q_inverse, zeta_q_inverse_odd;
};

// The lane twiddles of spans 8, 4, 2, 1 for the eight pairs of registers, in the order the
// transform uses them (the inverse takes spans 1, 2, 4, 8).
using LaneTwiddles = std::array<LaneTwiddle, std::size_t{4} * 8>;

constexpr LaneTwiddles lane_twiddles(bool forward) {
  LaneTwiddles table{};
  std::size_t slot = 0;
  for (std::size_t layer = 0; layer < 4; ++layer) {
    const std::size_t span = forward ? 8 >> layer : 1 << layer;
    const LaneMap map = lane_map(span);
    for (std::size_t pair = 0; pair < 8; ++pair) {
      LaneTwiddle& t = table[slot++];
      for (std::size_t l = 0; l < 16; ++l) {
        const std::size_t start = 32 * pair + map[0][l];
        t.zeta[l] = ZETAS_MONTGOMERY[forward ? forward_zeta_index(span, start) : inverse_zeta_index(span, start)];
        t.zeta_q_inverse[l] = times_q_inverse(t.zeta[l]);
      }
      for (std::size_t l = 0; l < 16; ++l) {
        t.zeta_odd[l] = t.zeta[l | 1];
        t.zeta_q_inverse_odd[l] = t.zeta_q_inverse[l | 1];
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

struct Twiddle {
  __m512i zeta, zeta_odd, zeta_q_inverse, zeta_q_inverse_odd;
};

HALYX_TARGET_AVX512 inline Twiddle broadcast(std::int32_t zeta) {
  const __m512i z = _mm512_set1_epi32(zeta), t = _mm512_set1_epi32(times_q_inverse(zeta));
  return {z, z, t, t};
}

HALYX_TARGET_AVX512 inline Twiddle load(const LaneTwiddle& t) {
  return {load512(t.zeta.data()), load512(t.zeta_odd.data()), load512(t.zeta_q_inverse.data()),
          load512(t.zeta_q_inverse_odd.data())};
}

// Returns a * zeta * 2^-32 mod q lane by lane, below q in size, for any 32-bit a (a twiddle is at
// most q/2 in size, so the product stays below 2^30 q). The low half of a zeta q^-1 is t, and
// a zeta - t q is a multiple of 2^32 whose high half is the result.
HALYX_TARGET_AVX512 inline __m512i montgomery_multiply(__m512i a, const Twiddle& w) {
  const __m512i q = _mm512_set1_epi32(Q);
  const __m512i a_odd = odd_lanes_down(a);
  const __m512i even = _mm512_sub_epi64(multiply_even(a, w.zeta),
                                        multiply_even(multiply_even(a, w.zeta_q_inverse), q));
  const __m512i odd = _mm512_sub_epi64(multiply_even(a_odd, w.zeta_odd),
                                       multiply_even(multiply_even(a_odd, w.zeta_q_inverse_odd), q));
  return high_halves(even, odd);
}

// Returns a mod q lane by lane, below q in size, for a in [-2^31 + 2^22, 2^31 - 2^22): as reduce()
// in arith.hpp.
HALYX_TARGET_AVX512 inline __m512i reduce(__m512i a) {
  const __m512i t = shift_right_signed(_mm512_add_epi32(a, _mm512_set1_epi32(1 << 22)), 23);
  return _mm512_sub_epi32(a, _mm512_mullo_epi32(t, _mm512_set1_epi32(Q)));
}

// (a, b) := (a + zeta b, a - zeta b). Both outputs exceed |a| by less than q.
HALYX_TARGET_AVX512 inline void forward_butterfly(__m512i& a, __m512i& b, const Twiddle& w) {
  const __m512i t = montgomery_multiply(b, w);
  b = _mm512_sub_epi32(a, t);
  a = _mm512_add_epi32(a, t);
}

// (a, b) := (a + b, zeta (b - a)) with the positive twiddle, which is the inverse's butterfly with
// its negated twiddle. The sum's bound is the sum of the bounds; the product is below q.
HALYX_TARGET_AVX512 inline void inverse_butterfly(__m512i& a, __m512i& b, const Twiddle& w) {
  const __m512i d = _mm512_sub_epi32(b, a);
  a = _mm512_add_epi32(a, b);
  b = montgomery_multiply(d, w);
}

// Moves the pair (a, b) from one layer's order to the next.
HALYX_TARGET_AVX512 inline void reorder(__m512i& a, __m512i& b, const Reorder& r) {
  const __m512i first = _mm512_permutex2var_epi32(a, load512(r.first.data()), b);
  b = _mm512_permutex2var_epi32(a, load512(r.second.data()), b);
  a = first;
}

}  // namespace

// From |p| < q, each of the eight layers adds less than q to the bound, as on the portable path,
// so coefficients stay below 9q until the reduction before the store.
HALYX_TARGET_AVX512 void ntt_avx512(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  __m512i x[16];
#pragma GCC unroll 16
  for (std::size_t j = 0; j < 16; ++j) x[j] = load512(a + 16 * j);
  // Spans 128 down to 16: register j pairs with register j + span / 16.
#pragma GCC unroll 4
  for (std::size_t span = 128; span >= 16; span /= 2) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < 16; ++j) {
      if ((j & (span / 16)) != 0) continue;
      forward_butterfly(x[j], x[j + span / 16], broadcast(ZETAS_MONTGOMERY[forward_zeta_index(span, 16 * j)]));
    }
  }
  // Spans 8 down to 1 within each pair of registers.
  const LaneTwiddle* w = FORWARD_LANE_TWIDDLES.data();
#pragma GCC unroll 4
  for (std::size_t layer = 0; layer < 4; ++layer) {
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k, ++w) {
      reorder(x[2 * k], x[2 * k + 1], FORWARD_REORDERS[layer]);
      forward_butterfly(x[2 * k], x[2 * k + 1], load(*w));
    }
  }
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) {
    reorder(x[2 * k], x[2 * k + 1], FORWARD_REORDERS[4]);
    store512(a + 32 * k, reduce(x[2 * k]));
    store512(a + 32 * k + 16, reduce(x[2 * k + 1]));
  }
  check_bound(p, Q);
}

// The layers run in the forward transform's reverse. From |p| < q the sums double their bound at
// each layer and stay below 256q < 2^31, never reduced, as on the portable path; the differences
// are Montgomery products, below q. The last layer's products also scale, and the sums are scaled
// at the end, which reduces them below q (their scaling products stay below 128 q^2 < 2^30 q).
HALYX_TARGET_AVX512 void inverse_ntt_montgomery_avx512(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  __m512i x[16];
#pragma GCC unroll 16
  for (std::size_t j = 0; j < 16; ++j) x[j] = load512(a + 16 * j);
  // Spans 1 up to 8 within each pair of registers.
  const LaneTwiddle* w = INVERSE_LANE_TWIDDLES.data();
#pragma GCC unroll 4
  for (std::size_t layer = 0; layer < 4; ++layer) {
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k, ++w) {
      reorder(x[2 * k], x[2 * k + 1], INVERSE_REORDERS[layer]);
      inverse_butterfly(x[2 * k], x[2 * k + 1], load(*w));
    }
  }
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) reorder(x[2 * k], x[2 * k + 1], INVERSE_REORDERS[4]);
  // Spans 16 up to 64 between whole registers.
#pragma GCC unroll 3
  for (std::size_t span = 16; span <= 64; span *= 2) {
#pragma GCC unroll 16
    for (std::size_t j = 0; j < 16; ++j) {
      if ((j & (span / 16)) != 0) continue;
      inverse_butterfly(x[j], x[j + span / 16], broadcast(ZETAS_MONTGOMERY[inverse_zeta_index(span, 16 * j)]));
    }
  }
  const Twiddle last = broadcast(LAST_INVERSE_TWIDDLE), scale = broadcast(INVERSE_NTT_SCALE);
#pragma GCC unroll 8
  for (std::size_t j = 0; j < 8; ++j) {
    inverse_butterfly(x[j], x[j + 8], last);
    store512(a + 16 * j, montgomery_multiply(x[j], scale));
    store512(a + 16 * (j + 8), x[j + 8]);
  }
  check_bound(p, Q);
}

}  // namespace halyx::mldsa::x86_64

#endif
