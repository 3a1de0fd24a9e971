// The NTT, its inverse and one row of the matrix product with NEON, four coefficients to a register.
//
// Products with a twiddle are Montgomery products of signed 32-bit lanes. With w' = w q^-1 mod 2^32
// stored beside each twiddle w, SQDMULH gives floor(a w / 2^31) and MUL gives m = a w' mod 2^32,
// so that m q is congruent to a w mod 2^32; then SQDMULH(m, q) = floor(m q / 2^31), and as a w and
// m q agree in their low 32 bits, the two floors differ by exactly (a w - m q) / 2^31, an even
// number. SHSUB halves it without overflow: r = (a w - m q) / 2^32, congruent to a w 2^-32, and
// |r| < (|a| q + 2^31 q) / 2^32 < q for every |a| < 2^31. The twiddles carry the factor 2^32
// (ZETAS_MONTGOMERY), so r is congruent to a zeta. Neither SQDMULH saturates: that needs both
// operands at -2^31, and |w|, q < 2^23.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::aarch64 {
namespace {

// A twiddle in Montgomery form and its product with q^-1 mod 2^32.
struct Twiddle {
  std::int32_t w, w_qinv;
};

constexpr Twiddle twiddle(std::int64_t w_montgomery) {
  const std::int32_t w = centred(w_montgomery);
  return {w, static_cast<std::int32_t>(static_cast<std::uint32_t>(w) * Q_INVERSE)};
}

// Twiddle m for the forward transform (zetas[m]) and for the inverse (-zetas[m]), made at compile time.
template <bool Inverse>
constexpr std::array<Twiddle, N> twiddles() {
  std::array<Twiddle, N> out{};
  for (std::size_t m = 0; m < N; ++m) out[m] = twiddle(Inverse ? -std::int64_t{ZETAS_MONTGOMERY[m]} : ZETAS_MONTGOMERY[m]);
  return out;
}
constexpr std::array<Twiddle, N> FORWARD_TWIDDLES = twiddles<false>();
constexpr std::array<Twiddle, N> INVERSE_TWIDDLES = twiddles<true>();

constexpr Twiddle forward_twiddle(std::size_t len, std::size_t start) { return FORWARD_TWIDDLES[forward_zeta_index(len, start)]; }
constexpr Twiddle inverse_twiddle(std::size_t len, std::size_t start) { return INVERSE_TWIDDLES[inverse_zeta_index(len, start)]; }

// a w 2^-32, |result| < q, for |a| < 2^31 (proof above); the twiddle one for all lanes, or one per lane.
[[gnu::always_inline]] inline int32x4_t montgomery_multiply(int32x4_t a, Twiddle t) noexcept {
  const int32x4_t high = vqdmulhq_n_s32(a, t.w);
  const int32x4_t m = vmulq_n_s32(a, t.w_qinv);
  return vhsubq_s32(high, vqdmulhq_n_s32(m, Q));
}
[[gnu::always_inline]] inline int32x4_t montgomery_multiply(int32x4_t a, int32x4_t w, int32x4_t w_qinv) noexcept {
  const int32x4_t high = vqdmulhq_s32(a, w);
  const int32x4_t m = vmulq_s32(a, w_qinv);
  return vhsubq_s32(high, vqdmulhq_n_s32(m, Q));
}

// reduce() of arith.hpp on four lanes: a - round(a / 2^23) q, |result| < q for |a| < 2^31 - 2^22.
[[gnu::always_inline]] inline int32x4_t reduce(int32x4_t a) noexcept { return vmlsq_n_s32(a, vrshrq_n_s32(a, 23), Q); }

// The two shortest spans work inside registers. VLD4 of sixteen coefficients 16g .. 16g + 15 puts
// coefficient 16g + 4i + j in lane i of register j, so the span-2 butterflies pair registers 0 and 2,
// 1 and 3, and the span-1 ones 0 and 1, 2 and 3, with a twiddle per lane: block i of span 2 takes
// short[g].span2[i], the two blocks of span 1 inside it short[g].span1_low[i] and span1_high[i].
struct ShortTwiddles {
  std::array<std::int32_t, 4> w[3], w_qinv[3];  // span 2, span 1 low, span 1 high
};

template <bool Inverse>
constexpr std::array<ShortTwiddles, N / 16> short_twiddles() {
  std::array<ShortTwiddles, N / 16> out{};
  for (std::size_t g = 0; g < N / 16; ++g) {
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t start = 16 * g + 4 * i;
      const Twiddle t[3] = {
          Inverse ? inverse_twiddle(2, start) : forward_twiddle(2, start),
          Inverse ? inverse_twiddle(1, start) : forward_twiddle(1, start),
          Inverse ? inverse_twiddle(1, start + 2) : forward_twiddle(1, start + 2),
      };
      for (std::size_t k = 0; k < 3; ++k) {
        out[g].w[k][i] = t[k].w;
        out[g].w_qinv[k][i] = t[k].w_qinv;
      }
    }
  }
  return out;
}
constexpr std::array<ShortTwiddles, N / 16> FORWARD_SHORT = short_twiddles<false>();
constexpr std::array<ShortTwiddles, N / 16> INVERSE_SHORT = short_twiddles<true>();

// The twiddle of ShortTwiddles entry k as two registers.
struct LaneTwiddles {
  int32x4_t w, w_qinv;
};
[[gnu::always_inline]] inline LaneTwiddles lanes(const ShortTwiddles& t, std::size_t k) noexcept {
  return {vld1q_s32(t.w[k].data()), vld1q_s32(t.w_qinv[k].data())};
}

// (x, y) := (x + zeta y, x - zeta y): each output at most q larger in size than the larger input.
[[gnu::always_inline]] inline void forward_butterfly(int32x4_t& x, int32x4_t& y, int32x4_t zeta_y) noexcept {
  y = vsubq_s32(x, zeta_y);
  x = vaddq_s32(x, zeta_y);
}

// One layer of span Len >= 4: registers j and j + Len / 4 of each block, one twiddle per block.
template <std::size_t Len>
[[gnu::always_inline]] inline void forward_layer(std::int32_t* a) noexcept {
  for (std::size_t start = 0; start < N; start += 2 * Len) {
    const Twiddle t = forward_twiddle(Len, start);
#pragma GCC unroll 8
    for (std::size_t j = start; j < start + Len; j += 4) {
      int32x4_t x = vld1q_s32(a + j), y = vld1q_s32(a + j + Len);
      forward_butterfly(x, y, montgomery_multiply(y, t));
      vst1q_s32(a + j, x);
      vst1q_s32(a + j + Len, y);
    }
  }
}

// (x, y) := (x + y, zeta (x - y)), the sum reduced when Reduce says.
template <bool Reduce = false>
[[gnu::always_inline]] inline void inverse_butterfly(int32x4_t& x, int32x4_t& y, int32x4_t w, int32x4_t w_qinv) noexcept {
  const int32x4_t sum = vaddq_s32(x, y);
  y = montgomery_multiply(vsubq_s32(x, y), w, w_qinv);
  x = Reduce ? reduce(sum) : sum;
}

template <std::size_t Len, bool Reduce>
[[gnu::always_inline]] inline void inverse_layer(std::int32_t* a) noexcept {
  for (std::size_t start = 0; start < N; start += 2 * Len) {
    const Twiddle t = inverse_twiddle(Len, start);
    const int32x4_t w = vdupq_n_s32(t.w), w_qinv = vdupq_n_s32(t.w_qinv);
#pragma GCC unroll 8
    for (std::size_t j = start; j < start + Len; j += 4) {
      int32x4_t x = vld1q_s32(a + j), y = vld1q_s32(a + j + Len);
      inverse_butterfly<Reduce>(x, y, w, w_qinv);
      vst1q_s32(a + j, x);
      vst1q_s32(a + j + Len, y);
    }
  }
}

}  // namespace

// From |p| < q, each of the eight layers adds at most q to the bound, so the last leaves |p| < 9q,
// which the short layers' final reduction brings below q.
void ntt_neon(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  forward_layer<128>(a);
  forward_layer<64>(a);
  forward_layer<32>(a);
  forward_layer<16>(a);
  forward_layer<8>(a);
  forward_layer<4>(a);
  for (std::size_t g = 0; g < N / 16; ++g) {
    int32x4x4_t v = vld4q_s32(a + 16 * g);
    const ShortTwiddles& t = FORWARD_SHORT[g];
    const LaneTwiddles span2 = lanes(t, 0), low = lanes(t, 1), high = lanes(t, 2);
    forward_butterfly(v.val[0], v.val[2], montgomery_multiply(v.val[2], span2.w, span2.w_qinv));
    forward_butterfly(v.val[1], v.val[3], montgomery_multiply(v.val[3], span2.w, span2.w_qinv));
    forward_butterfly(v.val[0], v.val[1], montgomery_multiply(v.val[1], low.w, low.w_qinv));
    forward_butterfly(v.val[2], v.val[3], montgomery_multiply(v.val[3], high.w, high.w_qinv));
#pragma GCC unroll 4
    for (auto& x : v.val) x = reduce(x);
    vst4q_s32(a + 16 * g, v);
  }
  check_bound(p, Q);
}

// From |p| < q, each layer at most doubles the sums' bound (the differences' products are below q):
// 16q after the span-8 layer, whose sums are reduced below q, and 16q again before the last layer,
// which multiplies the sums by 2^64 / 256 and the differences by that and the twiddle, in
// Montgomery form, leaving |p| < q and p congruent to NTT^-1(p) 2^32.
void inverse_ntt_montgomery_neon(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  for (std::size_t g = 0; g < N / 16; ++g) {
    int32x4x4_t v = vld4q_s32(a + 16 * g);
    const ShortTwiddles& t = INVERSE_SHORT[g];
    const LaneTwiddles span2 = lanes(t, 0), low = lanes(t, 1), high = lanes(t, 2);
    inverse_butterfly(v.val[0], v.val[1], low.w, low.w_qinv);
    inverse_butterfly(v.val[2], v.val[3], high.w, high.w_qinv);
    inverse_butterfly(v.val[0], v.val[2], span2.w, span2.w_qinv);
    inverse_butterfly(v.val[1], v.val[3], span2.w, span2.w_qinv);
    vst4q_s32(a + 16 * g, v);
  }
  inverse_layer<4, false>(a);
  inverse_layer<8, true>(a);
  inverse_layer<16, false>(a);
  inverse_layer<32, false>(a);
  inverse_layer<64, false>(a);
  // 2^64 / 256 and -zeta_1 2^64 / 256 mod q: Montgomery multiplication by them takes off one 2^32.
  constexpr Twiddle scale = twiddle(INVERSE_NTT_SCALE);
  constexpr Twiddle zeta_scale = twiddle(
      -std::int64_t{ZETAS_MONTGOMERY[inverse_zeta_index(128, 0)]} * INVERSE_NTT_SCALE % Q * power_mod_q(MONTGOMERY_R % Q, Q - 2) % Q);
  for (std::size_t j = 0; j < N / 2; j += 4) {
    const int32x4_t x = vld1q_s32(a + j), y = vld1q_s32(a + j + N / 2);
    vst1q_s32(a + j, montgomery_multiply(vaddq_s32(x, y), scale));
    vst1q_s32(a + j + N / 2, montgomery_multiply(vsubq_s32(x, y), zeta_scale));
  }
  check_bound(p, Q);
}

// The six products are summed in 64-bit lanes, each below q^2 in size, so |S| < 6 q^2 < 2^49; with
// m = S q^-1 mod 2^32, S - m q is a multiple of 2^32, and (S - m q) / 2^32 is congruent to S 2^-32
// and below 6 q^2 / 2^32 + q / 2 < q in size.
void matrix_row_neon(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept {
  check_matrix_row_inputs(a, z, c, t);
  for (std::size_t i = 0; i < N; i += 4) {
    int32x4_t x = vld1q_s32(a[0].coeffs.data() + i), y = vld1q_s32(z[0].coeffs.data() + i);
    int64x2_t low = vmull_s32(vget_low_s32(x), vget_low_s32(y));
    int64x2_t high = vmull_high_s32(x, y);
#pragma GCC unroll 4
    for (std::size_t s = 1; s < L; ++s) {
      x = vld1q_s32(a[s].coeffs.data() + i);
      y = vld1q_s32(z[s].coeffs.data() + i);
      low = vmlal_s32(low, vget_low_s32(x), vget_low_s32(y));
      high = vmlal_high_s32(high, x, y);
    }
    x = vld1q_s32(c.coeffs.data() + i);
    y = vld1q_s32(t.coeffs.data() + i);
    low = vmlsl_s32(low, vget_low_s32(x), vget_low_s32(y));
    high = vmlsl_high_s32(high, x, y);
    const int32x4_t m = vmulq_n_s32(vmovn_high_s64(vmovn_s64(low), high), static_cast<std::int32_t>(Q_INVERSE));
    low = vmlsl_n_s32(low, vget_low_s32(m), Q);
    high = vmlsl_high_n_s32(high, m, Q);
    vst1q_s32(w.coeffs.data() + i, vshrn_high_n_s64(vshrn_n_s64(low, 32), high, 32));
  }
  check_bound(w, Q);
}

}  // namespace halyx::mldsa::aarch64

#endif
