// The NTT, its inverse and one row of the matrix product with NEON, four coefficients to a register.
//
// Products with a twiddle w (|w| < q / 2) are Barrett products of signed 32-bit lanes, three
// instructions each. With w' = round(w 2^31 / q) stored beside w, SQRDMULH gives
// t = round(a w' / 2^31), within 1/2 + |a| / 2^32 of a w / q, and MUL and MLS give r = a w - t q
// modulo 2^32. As |r| <= q / 2 + q |a| / 2^32 < q for every |a| < 2^31, the wrapped value is r
// itself: congruent to a w, below q in size. SQRDMULH saturates only when both operands are -2^31,
// and |w'| < 2^30.
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

// A twiddle, centred, and its Barrett factor round(w 2^31 / q).
struct Twiddle {
  std::int32_t w, w_barrett;
};

constexpr Twiddle twiddle(std::int64_t value) {
  const std::int32_t w = centred(value);
  const std::int64_t scaled = std::int64_t{w} * (std::int64_t{1} << 31);
  return {w, static_cast<std::int32_t>((scaled + (w >= 0 ? Q / 2 : -(Q / 2))) / Q)};
}

// Twiddle m for the forward transform (zetas[m]) and for the inverse (-zetas[m]), made at compile time.
template <bool Inverse>
constexpr std::array<Twiddle, N> twiddles() {
  std::array<Twiddle, N> out{};
  for (std::size_t m = 0; m < N; ++m) {
    const std::int64_t zeta = ZETAS_SHOUP[m].w;  // zeta^BitRev8(m) mod q
    out[m] = twiddle(Inverse ? -zeta : zeta);
  }
  return out;
}
constexpr std::array<Twiddle, N> FORWARD_TWIDDLES = twiddles<false>();
constexpr std::array<Twiddle, N> INVERSE_TWIDDLES = twiddles<true>();

constexpr Twiddle forward_twiddle(std::size_t len, std::size_t start) { return FORWARD_TWIDDLES[forward_zeta_index(len, start)]; }
constexpr Twiddle inverse_twiddle(std::size_t len, std::size_t start) { return INVERSE_TWIDDLES[inverse_zeta_index(len, start)]; }

// The low 32 bits of products, wrapping as the instructions do. GCC writes the signed intrinsics as
// C multiplications, whose overflow is undefined, so the wrapping ones go through the unsigned
// intrinsics: the same MUL and MLS instructions.
[[gnu::always_inline]] inline uint32x4_t bits(int32x4_t a) noexcept { return vreinterpretq_u32_s32(a); }
[[gnu::always_inline]] inline int32x4_t low_product(int32x4_t a, std::int32_t b) noexcept {
  return vreinterpretq_s32_u32(vmulq_n_u32(bits(a), static_cast<std::uint32_t>(b)));
}
[[gnu::always_inline]] inline int32x4_t low_product(int32x4_t a, int32x4_t b) noexcept {
  return vreinterpretq_s32_u32(vmulq_u32(bits(a), bits(b)));
}
// acc - a q, wrapping.
[[gnu::always_inline]] inline int32x4_t minus_q_times(int32x4_t acc, int32x4_t a) noexcept {
  return vreinterpretq_s32_u32(vmlsq_n_u32(bits(acc), bits(a), static_cast<std::uint32_t>(Q)));
}

// r congruent to a w, |r| < q, for |a| < 2^31 (proof above); the twiddle one for all lanes, or one per lane.
[[gnu::always_inline]] inline int32x4_t multiply(int32x4_t a, Twiddle t) noexcept {
  return minus_q_times(low_product(a, t.w), vqrdmulhq_n_s32(a, t.w_barrett));
}
[[gnu::always_inline]] inline int32x4_t multiply(int32x4_t a, int32x4_t w, int32x4_t w_barrett) noexcept {
  return minus_q_times(low_product(a, w), vqrdmulhq_s32(a, w_barrett));
}

// reduce() of arith.hpp on four lanes: a - round(a / 2^23) q, |result| < q for |a| < 2^31 - 2^22.
[[gnu::always_inline]] inline int32x4_t reduce(int32x4_t a) noexcept { return minus_q_times(a, vrshrq_n_s32(a, 23)); }

// The two shortest spans work inside registers. VLD4 of sixteen coefficients 16g .. 16g + 15 puts
// coefficient 16g + 4i + j in lane i of register j, so the span-2 butterflies pair registers 0 and 2,
// 1 and 3, and the span-1 ones 0 and 1, 2 and 3, with a twiddle per lane: block i of span 2 takes
// short[g].span2[i], the two blocks of span 1 inside it short[g].span1_low[i] and span1_high[i].
struct ShortTwiddles {
  std::array<std::int32_t, 4> w[3], w_barrett[3];  // span 2, span 1 low, span 1 high
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
        out[g].w_barrett[k][i] = t[k].w_barrett;
      }
    }
  }
  return out;
}
constexpr std::array<ShortTwiddles, N / 16> FORWARD_SHORT = short_twiddles<false>();
constexpr std::array<ShortTwiddles, N / 16> INVERSE_SHORT = short_twiddles<true>();

// The twiddle of ShortTwiddles entry k as two registers.
struct LaneTwiddles {
  int32x4_t w, w_barrett;
};
[[gnu::always_inline]] inline LaneTwiddles lanes(const ShortTwiddles& t, std::size_t k) noexcept {
  return {vld1q_s32(t.w[k].data()), vld1q_s32(t.w_barrett[k].data())};
}

// (x, y) := (x + zeta y, x - zeta y): each output at most q larger in size than the larger input.
[[gnu::always_inline]] inline void forward_butterfly(int32x4_t& x, int32x4_t& y, int32x4_t zeta_y) noexcept {
  y = vsubq_s32(x, zeta_y);
  x = vaddq_s32(x, zeta_y);
}

// Eight registers hold the coefficients base + Stride k .. base + Stride k + 3, k < 8, and three
// layers run on them before they go back: spans 128, 64, 32 with Stride 32 (base 0, 4, .., 28),
// then 16, 8, 4 with Stride 4 (base 0, 32, .., 224). In a layer of span Len, register k pairs with
// k + Len / Stride when its coefficients lie in the first half of their block. Where they lie
// depends on k alone, as base is below 32 <= Len in the first case and a multiple of 32 >= 2 Len
// in the second: so every test below is decided at compile time, once the loops are unrolled.
template <std::size_t Stride, std::size_t Len>
[[gnu::always_inline]] inline void forward_layer(int32x4_t* x, std::size_t base) noexcept {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) {
    const std::size_t offset = (Stride * k) % (2 * Len);
    if (offset >= Len || k + Len / Stride >= 8) continue;
    const Twiddle t = forward_twiddle(Len, base + Stride * k - offset);
    forward_butterfly(x[k], x[k + Len / Stride], multiply(x[k + Len / Stride], t));
  }
}

// The eight registers of forward_layer, from and back to a + base. (Four-register loads and
// stores where the 32 coefficients are contiguous took more instructions, not fewer: GCC moves
// the registers out of and into their groups.)
template <std::size_t Stride>
[[gnu::always_inline]] inline void load8(int32x4_t* x, const std::int32_t* a) noexcept {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) x[k] = vld1q_s32(a + Stride * k);
}
template <std::size_t Stride>
[[gnu::always_inline]] inline void store8(std::int32_t* a, const int32x4_t* x) noexcept {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) vst1q_s32(a + Stride * k, x[k]);
}

template <std::size_t Stride, std::size_t Len0, std::size_t Len1, std::size_t Len2>
[[gnu::always_inline]] inline void forward_layers(std::int32_t* a, std::size_t base) noexcept {
  int32x4_t x[8];
  load8<Stride>(x, a + base);
  forward_layer<Stride, Len0>(x, base);
  forward_layer<Stride, Len1>(x, base);
  forward_layer<Stride, Len2>(x, base);
  store8<Stride>(a + base, x);
}

// (x, y) := (x + y, zeta (x - y)), the sum reduced when Reduce says.
template <bool Reduce = false>
[[gnu::always_inline]] inline void inverse_butterfly(int32x4_t& x, int32x4_t& y, int32x4_t w, int32x4_t w_barrett) noexcept {
  const int32x4_t sum = vaddq_s32(x, y);
  y = multiply(vsubq_s32(x, y), w, w_barrett);
  x = Reduce ? reduce(sum) : sum;
}

// The inverse's layers on eight registers, as forward_layer's; the sums reduced when Reduce says.
template <std::size_t Stride, std::size_t Len, bool Reduce>
[[gnu::always_inline]] inline void inverse_layer(int32x4_t* x, std::size_t base) noexcept {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) {
    const std::size_t offset = (Stride * k) % (2 * Len);
    if (offset >= Len || k + Len / Stride >= 8) continue;
    const Twiddle t = inverse_twiddle(Len, base + Stride * k - offset);
    inverse_butterfly<Reduce>(x[k], x[k + Len / Stride], vdupq_n_s32(t.w), vdupq_n_s32(t.w_barrett));
  }
}

}  // namespace

// From |p| < q, each of the eight layers adds at most q to the bound, so the last leaves |p| < 9q,
// which the short layers' final reduction brings below q.
void ntt_neon(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  for (std::size_t base = 0; base < 32; base += 4) forward_layers<32, 128, 64, 32>(a, base);
  for (std::size_t base = 0; base < N; base += 32) forward_layers<4, 16, 8, 4>(a, base);
  for (std::size_t g = 0; g < N / 16; ++g) {
    int32x4x4_t v = vld4q_s32(a + 16 * g);
    const ShortTwiddles& t = FORWARD_SHORT[g];
    const LaneTwiddles span2 = lanes(t, 0), low = lanes(t, 1), high = lanes(t, 2);
    forward_butterfly(v.val[0], v.val[2], multiply(v.val[2], span2.w, span2.w_barrett));
    forward_butterfly(v.val[1], v.val[3], multiply(v.val[3], span2.w, span2.w_barrett));
    forward_butterfly(v.val[0], v.val[1], multiply(v.val[1], low.w, low.w_barrett));
    forward_butterfly(v.val[2], v.val[3], multiply(v.val[3], high.w, high.w_barrett));
#pragma GCC unroll 4
    for (auto& x : v.val) x = reduce(x);
    vst4q_s32(a + 16 * g, v);
  }
  check_bound(p, Q);
}

// From |p| < q, each layer at most doubles the sums' bound (the differences' products are below q):
// 16q after the span-8 layer, whose sums are reduced below q, and 16q again before the last layer,
// which multiplies the sums by 2^32 / 256 and the differences by that and the twiddle, leaving
// |p| < q and p congruent to NTT^-1(p) 2^32.
void inverse_ntt_montgomery_neon(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  for (std::size_t g = 0; g < N / 16; ++g) {
    int32x4x4_t v = vld4q_s32(a + 16 * g);
    const ShortTwiddles& t = INVERSE_SHORT[g];
    const LaneTwiddles span2 = lanes(t, 0), low = lanes(t, 1), high = lanes(t, 2);
    inverse_butterfly(v.val[0], v.val[1], low.w, low.w_barrett);
    inverse_butterfly(v.val[2], v.val[3], high.w, high.w_barrett);
    inverse_butterfly(v.val[0], v.val[2], span2.w, span2.w_barrett);
    inverse_butterfly(v.val[1], v.val[3], span2.w, span2.w_barrett);
    vst4q_s32(a + 16 * g, v);
  }
  for (std::size_t base = 0; base < N; base += 32) {
    int32x4_t x[8];
    load8<4>(x, a + base);
    inverse_layer<4, 4, false>(x, base);
    inverse_layer<4, 8, true>(x, base);
    inverse_layer<4, 16, false>(x, base);
    store8<4>(a + base, x);
  }
  // 2^32 / 256 and -zeta_1 2^32 / 256 mod q: the inverse's factor 1 / 256, and the factor 2^32
  // its contract asks for.
  constexpr std::int64_t scale_value = MONTGOMERY_R % Q * power_mod_q(N, Q - 2) % Q;
  constexpr Twiddle scale = twiddle(scale_value);
  constexpr Twiddle zeta_scale = twiddle(std::int64_t{INVERSE_TWIDDLES[inverse_zeta_index(128, 0)].w} * scale_value % Q);
  for (std::size_t base = 0; base < 32; base += 4) {
    int32x4_t x[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) x[k] = vld1q_s32(a + base + 32 * k);
    inverse_layer<32, 32, false>(x, base);
    inverse_layer<32, 64, false>(x, base);
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      const int32x4_t sum = vaddq_s32(x[k], x[k + 4]), difference = vsubq_s32(x[k], x[k + 4]);
      vst1q_s32(a + base + 32 * k, multiply(sum, scale));
      vst1q_s32(a + base + 32 * (k + 4), multiply(difference, zeta_scale));
    }
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
    const int32x4_t m = low_product(vmovn_high_s64(vmovn_s64(low), high), static_cast<std::int32_t>(Q_INVERSE));
    low = vmlsl_n_s32(low, vget_low_s32(m), Q);
    high = vmlsl_high_n_s32(high, m, Q);
    vst1q_s32(w.coeffs.data() + i, vshrn_high_n_s64(vshrn_n_s64(low, 32), high, 32));
  }
  check_bound(w, Q);
}

}  // namespace halyx::mldsa::aarch64

#endif
