// arith.hpp: arithmetic modulo q for the portable path, and the constants every path shares.
//
// Products are reduced with Montgomery's method over R = 2^32: montgomery_reduce(a) is congruent
// to a * 2^-32. The NTT's twiddle factors are stored times R, so that multiplying by one and
// reducing yields the plain product. Ranges are stated on every function: the vector paths follow
// the same contracts, and the sanitizer build checks them on the portable path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/params.hpp>

namespace halyx::mldsa {

// q^-1 mod 2^32, by Newton's iteration (each step doubles the number of correct low bits).
inline constexpr std::uint32_t Q_INVERSE = [] {
  std::uint32_t x = 1;
  for (int i = 0; i < 5; ++i) x *= 2u - static_cast<std::uint32_t>(Q) * x;
  return x;
}();
static_assert(static_cast<std::uint32_t>(Q) * Q_INVERSE == 1u);

inline constexpr std::int64_t MONTGOMERY_R = std::int64_t{1} << 32;

// Returns a mod q as the representative in (-q/2, q/2].
constexpr std::int32_t centred(std::int64_t a) {
  std::int64_t r = a % Q;
  if (r < 0) r += Q;
  if (r > Q / 2) r -= Q;
  return static_cast<std::int32_t>(r);
}

constexpr std::int64_t power_mod_q(std::int64_t base, unsigned exponent) {
  std::int64_t result = 1;
  base %= Q;
  while (exponent != 0) {
    if (exponent & 1) result = result * base % Q;
    base = base * base % Q;
    exponent >>= 1;
  }
  return result;
}

constexpr unsigned bit_reverse8(unsigned m) {
  unsigned r = 0;
  for (int i = 0; i < 8; ++i) r |= ((m >> i) & 1u) << (7 - i);
  return r;
}

// zetas[m] = zeta^BitRev8(m) * R mod q, centred, with zeta = 1753 the primitive 512th root of unity
// the standard fixes. zetas[0] is never used.
inline constexpr std::array<std::int32_t, N> ZETAS_MONTGOMERY = [] {
  std::array<std::int32_t, N> z{};
  for (unsigned m = 0; m < N; ++m) z[m] = centred(power_mod_q(1753, bit_reverse8(m)) * (MONTGOMERY_R % Q));
  return z;
}();

// The entry of ZETAS_MONTGOMERY that the butterfly block starting at coefficient `start` takes, in
// the layer whose butterflies span `len`. The forward transform numbers its blocks from 1 in the
// order its layers run, spans 128 down to 1; the inverse takes them from 255 down, spans 1 up to
// 128, and negates them.
constexpr std::size_t forward_zeta_index(std::size_t len, std::size_t start) {
  return N / (2 * len) + start / (2 * len);
}
constexpr std::size_t inverse_zeta_index(std::size_t len, std::size_t start) {
  return N / len - 1 - start / (2 * len);
}

// R^2 / 256 mod q, centred: the last step of the inverse NTT multiplies by it, which both divides
// by 256 and leaves the result times R.
inline constexpr std::int32_t INVERSE_NTT_SCALE = centred(
    (MONTGOMERY_R % Q) * (MONTGOMERY_R % Q) % Q * power_mod_q(N, Q - 2));

static_assert(power_mod_q(1753, 256) == Q - 1, "1753 must be a primitive 512th root of unity");
static_assert(power_mod_q(N, Q - 2) == 8347681, "256^-1 mod q");

// Multiplication by a constant w in [0, q) with Shoup's method, in unsigned 32-bit arithmetic
// that compilers vectorise on every baseline (the high half of a 32 x 32-bit unsigned product is
// SSE2's pmuludq and NEON's umull). With w' = floor(w 2^32 / q), for every x in [0, 2^32):
//   x w / q - 1 < x w' / 2^32 <= x w / q    (as 0 <= w 2^32 / q - w' < 1 and x < 2^32),
// so hi = floor(x w' / 2^32) lies in (x w / q - 2, x w / q], and x w - hi q is congruent to x w and
// lies in [0, 2q). That is below 2^32, so computing it modulo 2^32 gives it exactly.
struct ShoupConstant {
  std::uint32_t w, w_shoup;
};

constexpr ShoupConstant shoup_constant(std::int64_t w) {
  const auto canonical = static_cast<std::uint32_t>((w % Q + Q) % Q);
  return {canonical, static_cast<std::uint32_t>((std::uint64_t{canonical} << 32) / Q)};
}

// Returns r congruent to x w mod q, in [0, 2q), for any x (proof above).
constexpr std::uint32_t shoup_multiply(std::uint32_t x, ShoupConstant c) noexcept {
  const auto hi = static_cast<std::uint32_t>((std::uint64_t{x} * c.w_shoup) >> 32);
  return x * c.w - hi * static_cast<std::uint32_t>(Q);
}

// zeta^BitRev8(m) mod q (no factor R) for Shoup's multiplication, and 2^32 / 256 mod q, the
// inverse transform's last factor when it works with them.
inline constexpr std::array<ShoupConstant, N> ZETAS_SHOUP = [] {
  std::array<ShoupConstant, N> z{};
  for (unsigned m = 0; m < N; ++m) z[m] = shoup_constant(power_mod_q(1753, bit_reverse8(m)));
  return z;
}();
// -zeta^BitRev8(m) mod q, the inverse transform's twiddles.
inline constexpr std::array<ShoupConstant, N> INVERSE_ZETAS_SHOUP = [] {
  std::array<ShoupConstant, N> z{};
  for (unsigned m = 0; m < N; ++m) z[m] = shoup_constant(-power_mod_q(1753, bit_reverse8(m)));
  return z;
}();
inline constexpr ShoupConstant INVERSE_NTT_SCALE_SHOUP = shoup_constant((MONTGOMERY_R % Q) * power_mod_q(N, Q - 2));

// Returns r congruent to a * 2^-32 mod q. Needs |a| < 2^31 * q; then |r| < q.
inline std::int32_t montgomery_reduce(std::int64_t a) noexcept {
  const auto t = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * Q_INVERSE);
  return static_cast<std::int32_t>((a - std::int64_t{t} * Q) >> 32);
}

// Returns r congruent to a mod q with |r| < q, for any a in [-2^31 + 2^22, 2^31 - 2^22).
// (a + 2^22) >> 23 is a / 2^23 rounded; as 2^23 exceeds q by under 2^13, the quotient is off by
// less than a quarter from a / q, which leaves r within 3q/4 of zero.
inline std::int32_t reduce(std::int32_t a) noexcept {
  const std::int32_t t = (a + (1 << 22)) >> 23;
  return a - t * Q;
}

// Returns the representative of a in [0, q), for -q <= a < q.
inline std::int32_t to_canonical(std::int32_t a) noexcept { return a + ((a >> 31) & Q); }

}  // namespace halyx::mldsa
