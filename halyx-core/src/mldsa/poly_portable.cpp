// The portable kernels: plain C++ for every compiler and CPU, written so that compilers vectorise
// them on the baseline's 128-bit vectors where they can (Keccak states side by side, the
// transforms' butterflies), with no intrinsics.

#include <algorithm>
#include <array>

#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/rounds.hpp>
#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/portable.hpp>

namespace halyx::mldsa::portable {

// States interleaved word by word (keccak/rounds.hpp): on every baseline with 128-bit vectors (SSE2,
// NEON) the compiler permutes two in about the time one takes alone. On x86-64 GCC takes a third
// state beside them in general registers, which on the development machine (AMD EPYC, Zen 5) cost
// 153 ns a state against 178 for two, and took ExpandA from 34.7 to 31.2 us; clang 16 takes the
// three states one by one, at 264 ns a state, so it keeps two. On aarch64 three states executed 11 %
// more instructions a verification under qemu than two, with no hardware here to time them; it
// keeps two as well.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
constexpr std::size_t KECCAK_LANES = 3;
#else
constexpr std::size_t KECCAK_LANES = 2;
#endif

void permute_lanes(KeccakState* const* states) noexcept { keccak_rounds::permute_lanes<KECCAK_LANES>(states); }

// Each pass takes as many candidates as there are free slots (or fewer, at the end of the
// bytes). It first writes them all to out[filled..) as if each were kept, noting whether one is
// not: q is so close to 2^23 that about 19 blocks in 20 keep every candidate, and those are done
// then, with no count carried from one candidate to the next. Otherwise the pass is made again
// over the same candidates, each written at out[filled] unconditionally and counted only when
// kept. No write reaches out[256], and no branch depends on the data but the one per pass. A pass
// ends full, out of bytes, or with one free slot for each candidate it refused, which the next
// pass takes. Two candidates come from one 8-byte load, which may read two bytes past the last
// candidate (the caller's buffer has room; poly.hpp), four from two.
std::size_t rejection_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                             std::size_t len) noexcept {
  // A candidate v is kept when v - q, in 64 bits, is negative: its sign bit is the count's
  // increment (a lea and a shift on x86-64, where a comparison took a setcc and a zero extension),
  // and the AND of those differences over a pass is negative exactly when all are kept.
  constexpr std::uint64_t MASK = 0x7FFFFF;
  const auto kept = [](std::uint64_t v) noexcept { return static_cast<std::size_t>((v - Q) >> 63); };
  const auto candidate = [](const std::uint8_t* b) noexcept {
    return b[0] | std::uint64_t{b[1]} << 8 | (std::uint64_t{b[2]} & 0x7F) << 16;
  };
  std::size_t i = 0;
  while (filled < N && i + 3 <= len) {
    const std::size_t candidates = std::min((len - i) / 3, N - filled);
    const std::uint8_t* in = bytes + i;
    std::int32_t* to = out + filled;
    std::uint64_t all_kept = ~std::uint64_t{0};
    std::size_t k = 0;
    for (; k + 4 <= candidates; k += 4) {
      const std::uint64_t w = load_le64(in + 3 * k), u = load_le64(in + 3 * k + 6);
      const std::uint64_t v[4] = {w & MASK, (w >> 24) & MASK, u & MASK, (u >> 24) & MASK};
      for (std::size_t j = 0; j < 4; ++j) {
        to[k + j] = static_cast<std::int32_t>(v[j]);
        all_kept &= v[j] - Q;
      }
    }
    for (; k < candidates; ++k) {
      const std::uint64_t v = candidate(in + 3 * k);
      to[k] = static_cast<std::int32_t>(v);
      all_kept &= v - Q;
    }
    if (all_kept >> 63 != 0) {
      filled += candidates;
      i += 3 * candidates;
      continue;
    }
    for (k = 0; k + 4 <= candidates; k += 4, i += 12) {
      const std::uint64_t w = load_le64(bytes + i), u = load_le64(bytes + i + 6);
      const std::uint64_t v[4] = {w & MASK, (w >> 24) & MASK, u & MASK, (u >> 24) & MASK};
      for (const std::uint64_t c : v) {
        out[filled] = static_cast<std::int32_t>(c);
        filled += kept(c);
      }
    }
    for (; k < candidates; ++k, i += 3) {
      const std::uint64_t v = candidate(bytes + i);
      out[filled] = static_cast<std::int32_t>(v);
      filled += kept(v);
    }
  }
  return filled;
}

// The transforms work on unsigned representatives and multiply with Shoup's method
// (arith.hpp), which reduces any 32-bit input to [0, 2q): no butterfly reduces anything else, and
// the loops of the wider layers vectorise on the baseline. Coefficients are congruent mod q to
// the plain transform's throughout, since the twiddles carry no factor R. `Bound` is each layer's
// bound on its inputs, in multiples of q; the static_asserts check that no value reaches 2^32.
constexpr std::uint64_t TWO_TO_32 = std::uint64_t{1} << 32;

// One Cooley-Tukey butterfly, (x, y) := (x + t, x - t + 2q) with t = zeta y in [0, 2q): from
// [0, Bound q) both outputs lie in [0, (Bound + 2) q).
[[gnu::always_inline]] inline void forward_butterfly(std::uint32_t& x, std::uint32_t& y, std::uint32_t w,
                                                     std::uint32_t w_shoup) noexcept {
  constexpr auto twice_q = static_cast<std::uint32_t>(2 * Q);
  const std::uint32_t t = shoup_multiply(y, ShoupConstant{w, w_shoup});
  y = x - t + twice_q;
  x = x + t;
}

// One Gentleman-Sande butterfly with a negated twiddle, (x, y) := (x + y, zeta (x - y + offset)):
// from [0, Bound q), with offset = Bound q, the sum lies in [0, 2 Bound q), the difference, kept
// positive, in (0, 2 Bound q), and its product in [0, 2q).
[[gnu::always_inline]] inline void inverse_butterfly(std::uint32_t& x, std::uint32_t& y, std::uint32_t offset,
                                                     std::uint32_t w, std::uint32_t w_shoup) noexcept {
  const std::uint32_t t = x, u = y;
  x = t + u;
  y = shoup_multiply(t - u + offset, ShoupConstant{w, w_shoup});
}

// One layer of span Len >= 8 over the whole polynomial. `Add` is added to every input as it is
// read (q, to make the first layer's signed inputs positive), so that no separate pass does it.
template <std::size_t Len, std::uint64_t Bound, std::uint32_t Add = 0>
void forward_layer(std::uint32_t* a) noexcept {
  static_assert((Bound + 2) * Q < TWO_TO_32);
  // Spelled with the block and the offset in it, and both inputs read before either is written.
  for (std::size_t block = 0; block < N / (2 * Len); ++block) {
    // forward_zeta_index(Len, 2 Len block), spelled so that the compiler sees it step by one.
    const ShoupConstant zeta = ZETAS_SHOUP[N / (2 * Len) + block];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < Len; ++k) {
      const std::size_t j = 2 * Len * block + k;
      std::uint32_t x = a[j] + Add, y = a[j + Len] + Add;
      forward_butterfly(x, y, zeta.w, zeta.w_shoup);
      a[j] = x;
      a[j + Len] = y;
    }
  }
}

template <std::size_t Len, std::uint64_t Bound>
void inverse_layer(std::uint32_t* a) noexcept {
  static_assert(2 * Bound * Q < TWO_TO_32);
  constexpr auto offset = static_cast<std::uint32_t>(Bound * Q);
  for (std::size_t block = 0; block < N / (2 * Len); ++block) {
    // inverse_zeta_index(Len, 2 Len block), spelled so that the compiler sees it step by one.
    const ShoupConstant zeta = INVERSE_ZETAS_SHOUP[N / Len - 1 - block];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < Len; ++k) {
      const std::size_t j = 2 * Len * block + k;
      inverse_butterfly(a[j], a[j + Len], offset, zeta.w, zeta.w_shoup);
    }
  }
}

// The twiddles of the three short layers (spans 4, 2 and 1), which run together on each block of
// eight coefficients: entry [i][b] is the i-th twiddle block b takes (one of span 4, two of span 2,
// four of span 1, in that order), values and Shoup factors apart. Laid out by block, so that the
// loop over blocks reads each at unit stride and vectorises across four blocks at once.
struct ShortLayerTwiddles {
  std::array<std::array<std::uint32_t, N / 8>, 7> w, w_shoup;
};

template <bool Inverse>
constexpr ShortLayerTwiddles short_layer_twiddles() {
  ShortLayerTwiddles t{};
  for (std::size_t b = 0; b < N / 8; ++b) {
    const std::size_t start[7] = {8 * b, 8 * b, 8 * b + 4, 8 * b, 8 * b + 2, 8 * b + 4, 8 * b + 6};
    const std::size_t len[7] = {4, 2, 2, 1, 1, 1, 1};
    for (std::size_t i = 0; i < 7; ++i) {
      const ShoupConstant z = Inverse ? INVERSE_ZETAS_SHOUP[inverse_zeta_index(len[i], start[i])]
                                      : ZETAS_SHOUP[forward_zeta_index(len[i], start[i])];
      t.w[i][b] = z.w;
      t.w_shoup[i][b] = z.w_shoup;
    }
  }
  return t;
}
inline constexpr ShortLayerTwiddles FORWARD_SHORT = short_layer_twiddles<false>();
inline constexpr ShortLayerTwiddles INVERSE_SHORT = short_layer_twiddles<true>();

// The forward layers of spans 4, 2 and 1 on each block of eight coefficients in registers, then
// the final reduction: one pass where three took three, and no layer left to a scalar loop. From
// [0, 10q) the spans take the bounds to 12q, 14q, 16q, and 18q, whose reduction (below
// 2^31 - 2^22, as reduce needs) leaves every coefficient under q in size.
void forward_short_layers(std::uint32_t* a) noexcept {
  static_assert(18 * Q < (1 << 30));
  const ShortLayerTwiddles& z = FORWARD_SHORT;
  for (std::size_t b = 0; b < N / 8; ++b) {
    std::uint32_t x[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) x[k] = a[8 * b + k];
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) forward_butterfly(x[k], x[k + 4], z.w[0][b], z.w_shoup[0][b]);
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t i = 1 + k / 2, j = (k / 2) * 4 + k % 2;
      forward_butterfly(x[j], x[j + 2], z.w[i][b], z.w_shoup[i][b]);
    }
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) forward_butterfly(x[2 * k], x[2 * k + 1], z.w[3 + k][b], z.w_shoup[3 + k][b]);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) a[8 * b + k] = static_cast<std::uint32_t>(reduce(static_cast<std::int32_t>(x[k])));
  }
}

// The inverse layers of spans 1, 2 and 4 on each block of eight coefficients, q added to each as
// it is read: from [0, 2q), the bounds become 4q, 8q and 16q (each layer's offset is its bound).
void inverse_short_layers(std::uint32_t* a) noexcept {
  const ShortLayerTwiddles& z = INVERSE_SHORT;
  constexpr auto q = static_cast<std::uint32_t>(Q);
  for (std::size_t b = 0; b < N / 8; ++b) {
    std::uint32_t x[8];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) x[k] = a[8 * b + k] + q;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      inverse_butterfly(x[2 * k], x[2 * k + 1], 2 * q, z.w[3 + k][b], z.w_shoup[3 + k][b]);
    }
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t i = 1 + k / 2, j = (k / 2) * 4 + k % 2;
      inverse_butterfly(x[j], x[j + 2], 4 * q, z.w[i][b], z.w_shoup[i][b]);
    }
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) inverse_butterfly(x[k], x[k + 4], 8 * q, z.w[0][b], z.w_shoup[0][b]);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) a[8 * b + k] = x[k];
  }
}

// Returns the representative in [0, q) of x in [0, 2q).
[[gnu::always_inline]] inline std::uint32_t canonical_from_twice_q(std::uint32_t x) noexcept {
  return static_cast<std::uint32_t>(to_canonical(static_cast<std::int32_t>(x) - Q));
}

// The inverse's last layer with the final factor 2^32 / 256 folded in: the sums are multiplied by
// it, and the differences by the product of it and the twiddle, one multiplication each. From
// [0, 256q) the sums lie below 512q, under 2^32 (2^32 / q is about 512.5), and every product in
// [0, 2q), which is then brought to [0, q): subtracting q alone would leave -q where the product
// is 0.
void inverse_last_layer(std::uint32_t* a) noexcept {
  constexpr std::uint64_t bound = 256;
  static_assert(2 * bound * Q < TWO_TO_32);
  constexpr auto offset = static_cast<std::uint32_t>(bound * Q);
  constexpr ShoupConstant scale = INVERSE_NTT_SCALE_SHOUP;
  constexpr ShoupConstant zeta_scale = shoup_constant(
      std::int64_t{INVERSE_ZETAS_SHOUP[1].w} * std::int64_t{INVERSE_NTT_SCALE_SHOUP.w} % Q);
  for (std::size_t j = 0; j < N / 2; ++j) {
    const std::uint32_t t = a[j], u = a[j + N / 2];
    a[j] = canonical_from_twice_q(shoup_multiply(t + u, scale));
    a[j + N / 2] = canonical_from_twice_q(shoup_multiply(t - u + offset, zeta_scale));
  }
}

// The coefficients, as the unsigned words the transforms work on (the two types may alias).
std::uint32_t* unsigned_coefficients(Poly& p) noexcept { return reinterpret_cast<std::uint32_t*>(p.coeffs.data()); }

// From |p| < q, adding q (as the first layer reads them) gives [0, 2q); eight layers add 2q each,
// to [0, 18q), and one reduction of that (with the short layers) brings every coefficient under q
// in size. The spans are template arguments so that the compiler can unroll the loops.
void ntt(Poly& p) noexcept {
  check_bound(p, Q);
  std::uint32_t* a = unsigned_coefficients(p);
  forward_layer<128, 2, static_cast<std::uint32_t>(Q)>(a);
  forward_layer<64, 4>(a);
  forward_layer<32, 6>(a);
  forward_layer<16, 8>(a);
  forward_layer<8, 10>(a);
  forward_short_layers(a);
  check_bound(p, Q);
}

// From |p| < q, adding q gives [0, 2q); each layer at most doubles the bound, so the last layer's
// inputs lie below 256q. The last layer also multiplies by 2^32 / 256 and leaves [0, q).
void inverse_ntt_montgomery(Poly& p) noexcept {
  check_bound(p, Q);
  std::uint32_t* a = unsigned_coefficients(p);
  inverse_short_layers(a);
  inverse_layer<8, 16>(a);
  inverse_layer<16, 32>(a);
  inverse_layer<32, 64>(a);
  inverse_layer<64, 128>(a);
  inverse_last_layer(a);
  check_bound(p, Q);
}

// Every factor is taken as an unsigned representative below 2q: a, z and t plus q, and c as
// q - c, which is -c mod q. The residue of the sum is unchanged, and every product is an
// unsigned 32 x 32-bit one, which the baseline's vectors have (SSE2's pmuludq, NEON's umull) and
// signed ones lack on SSE2. The six products are below 4q^2 each, so the sum S is below
// 24 q^2 < 2^51, and one unsigned Montgomery reduction does the work of six: with
// m = S (-q^-1) mod 2^32, S + m q is a multiple of 2^32, and r = (S + m q) / 2^32 < 2^19 + q lies
// in [0, 2q), which r - q brought back to [0, q) by to_canonical leaves in [0, q).
void matrix_row(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept {
  check_matrix_row_inputs(a, z, c, t);
  constexpr auto q = static_cast<std::uint32_t>(Q);
  constexpr std::uint32_t minus_q_inverse = 0u - Q_INVERSE;
  static_assert(std::uint64_t{24} * Q * Q < (std::uint64_t{1} << 51) && (std::uint64_t{1} << 19) + Q < std::uint64_t{2} * Q);
  // Written to a local array, which cannot alias the inputs: with w among eleven pointers the
  // compiler did not vectorise the loop. The reduction is branch-free for the same reason.
  std::array<std::int32_t, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    std::uint64_t sum = std::uint64_t{q - static_cast<std::uint32_t>(c.coeffs[i])} *
                        (static_cast<std::uint32_t>(t.coeffs[i]) + q);
    for (std::size_t s = 0; s < L; ++s) {
      sum += std::uint64_t{static_cast<std::uint32_t>(a[s].coeffs[i]) + q} * (static_cast<std::uint32_t>(z[s].coeffs[i]) + q);
    }
    const std::uint32_t m = static_cast<std::uint32_t>(sum) * minus_q_inverse;
    const auto r = static_cast<std::uint32_t>((sum + std::uint64_t{m} * q) >> 32);
    out[i] = to_canonical(static_cast<std::int32_t>(r) - Q);
  }
  w.coeffs = out;
  check_bound(w, Q);
}

// Reads the five bytes at b as the low 40 bits of a word: one 8-byte load where three more bytes
// may be read (every group of a row but its last), byte by byte for the last.
[[gnu::always_inline]] inline std::uint64_t load_40(const std::uint8_t* b, bool last) noexcept {
  if (!last) return load_le64(b);
  std::uint64_t v = 0;
  for (std::size_t j = 0; j < 5; ++j) v |= std::uint64_t{b[j]} << (8 * j);
  return v;
}

// The stored value v gives z = gamma1 - v, and |z| < gamma1 - beta exactly when
// beta < v < 2 gamma1 - beta, that is when v - beta - 1, taken unsigned (so that v <= beta wraps
// to a huge value), is below 2 gamma1 - 2 beta - 1: the largest such difference decides the row.
bool unpack_z(Poly& p, const std::uint8_t* bytes) noexcept {
  // Two 20-bit values in every five bytes.
  constexpr std::uint32_t mask = (1u << 20) - 1;
  constexpr auto low = static_cast<std::uint32_t>(BETA + 1);
  constexpr auto limit = static_cast<std::uint32_t>(2 * GAMMA1 - 2 * BETA - 1);
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < N / 2; ++i) {
    const std::uint64_t w = load_40(bytes + 5 * i, i == N / 2 - 1);
    const std::uint32_t v[2] = {static_cast<std::uint32_t>(w) & mask, static_cast<std::uint32_t>(w >> 20) & mask};
    for (std::size_t j = 0; j < 2; ++j) {
      p.coeffs[2 * i + j] = GAMMA1 - static_cast<std::int32_t>(v[j]);
      const std::uint32_t d = v[j] - low;
      largest = d > largest ? d : largest;
    }
  }
  return largest < limit;
}

void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept {
  // Four 10-bit values in every five bytes, each moved to bits 13..22 with one shift and one mask.
  constexpr std::uint64_t mask = std::uint64_t{1023} << D;
  for (std::size_t i = 0; i < N / 4; ++i) {
    const std::uint64_t w = load_40(bytes + 5 * i, i == N / 4 - 1);
    p.coeffs[4 * i] = static_cast<std::int32_t>((w << D) & mask);
    p.coeffs[4 * i + 1] = static_cast<std::int32_t>((w << (D - 10)) & mask);
    p.coeffs[4 * i + 2] = static_cast<std::int32_t>((w >> (20 - D)) & mask);
    p.coeffs[4 * i + 3] = static_cast<std::int32_t>((w >> (30 - D)) & mask);
  }
}

// The high bits r1 of r in [0, q) without a hint, in shifts and adds that vectorise on the
// baseline. 2 gamma2 = 512 * 1023, so r1 = floor(floor((r + gamma2 - 1) / 512) / 1023), and for
// x < 2^15 (here x < 2^14 + 2^9), floor(x / 1023) = floor((x + 1) 1025 / 2^20): with x = 1023 k + m,
// m < 1023, (x + 1) 1025 = k 2^20 + (m + 1) 1025 - k (as 1023 * 1025 = 2^20 - 1), and the last
// two terms lie in [0, 2^20) since k <= 16. The top value 16 wraps to 0 under the mask, as
// decompose wraps it.
[[gnu::always_inline]] inline std::uint32_t high_bits(std::uint32_t r) noexcept {
  const std::uint32_t x = (r + static_cast<std::uint32_t>(GAMMA2) + 511) >> 9;  // floor(...) + 1
  return (((x << 10) + x) >> 20) & 15;
}

void encode_w1(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept {
  check_bound(w, Q);
  std::array<std::uint8_t, N> w1;
  for (std::size_t i = 0; i < N; ++i) {
    w1[i] = static_cast<std::uint8_t>(high_bits(static_cast<std::uint32_t>(to_canonical(w.coeffs[i]))));
  }
  for (std::size_t k = 0; k < count; ++k) {
    w1[positions[k]] = static_cast<std::uint8_t>(use_hint(true, to_canonical(w.coeffs[positions[k]])));
  }
  for (std::size_t i = 0; i < N / 2; ++i) out[i] = static_cast<std::uint8_t>(w1[2 * i] | w1[2 * i + 1] << 4);
}

}  // namespace halyx::mldsa::portable

namespace halyx::mldsa {

const Kernels PORTABLE_KERNELS = {
    .permute_one = keccak_f1600,
    .keccak_lanes = portable::KECCAK_LANES,
    .permute_lanes = portable::permute_lanes,
    .rejection_sample = portable::rejection_sample,
    .ntt = portable::ntt,
    .inverse_ntt_montgomery = portable::inverse_ntt_montgomery,
    .matrix_row = portable::matrix_row,
    .unpack_z = portable::unpack_z,
    .unpack_t1_shifted = portable::unpack_t1_shifted,
    .encode_w1 = portable::encode_w1,
};

}  // namespace halyx::mldsa
