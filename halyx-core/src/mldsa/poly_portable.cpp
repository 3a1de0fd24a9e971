// The portable kernels: plain C++, one Keccak state at a time, one coefficient at a time.

#include <array>

#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/portable.hpp>

namespace halyx::mldsa::portable {

void permute_lanes(KeccakState* const* states) noexcept { keccak_f1600(*states[0]); }

std::size_t rejection_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                             std::size_t len) noexcept {
  for (std::size_t i = 0; i + 3 <= len && filled < N; i += 3) {
    const std::int32_t v = bytes[i] | (bytes[i + 1] << 8) | ((bytes[i + 2] & 0x7F) << 16);
    if (v < Q) out[filled++] = v;
  }
  return filled;
}

// One layer of Cooley-Tukey butterflies of span Len, (a[j], a[j + Len]) := (a[j] + zeta a[j + Len],
// a[j] - zeta a[j + Len]). Each output exceeds the bound of its inputs by less than q, as a
// Montgomery product is below q.
template <std::size_t Len>
void forward_layer(std::int32_t* a) noexcept {
  for (std::size_t start = 0; start < N; start += 2 * Len) {
    const std::int64_t zeta = ZETAS_MONTGOMERY[forward_zeta_index(Len, start)];
    for (std::size_t j = start; j < start + Len; ++j) {
      const std::int32_t t = montgomery_reduce(zeta * a[j + Len]);
      a[j + Len] = a[j] - t;
      a[j] = a[j] + t;
    }
  }
}

// One layer of Gentleman-Sande butterflies of span Len, (a[j], a[j + Len]) := (a[j] + a[j + Len],
// zeta (a[j] - a[j + Len])) with a negated twiddle. The sums' bound doubles; the differences'
// products are below q.
template <std::size_t Len>
void inverse_layer(std::int32_t* a) noexcept {
  for (std::size_t start = 0; start < N; start += 2 * Len) {
    const std::int64_t zeta = -ZETAS_MONTGOMERY[inverse_zeta_index(Len, start)];
    for (std::size_t j = start; j < start + Len; ++j) {
      const std::int32_t t = a[j];
      a[j] = t + a[j + Len];
      a[j + Len] = montgomery_reduce(zeta * (t - a[j + Len]));
    }
  }
}

// From |p| < q the bound after all eight layers is 9q; one reduction at the end brings it under q.
// The spans are template arguments so that the compiler can unroll the short loops of the last
// layers, which made the transform a fifth faster here than one loop over the spans.
void ntt(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  forward_layer<128>(a);
  forward_layer<64>(a);
  forward_layer<32>(a);
  forward_layer<16>(a);
  forward_layer<8>(a);
  forward_layer<4>(a);
  forward_layer<2>(a);
  forward_layer<1>(a);
  for (auto& c : p.coeffs) c = reduce(c);
  check_bound(p, Q);
}

// The sums are never reduced: from |p| < q they stay under 256q < 2^31. The final scaling by
// R^2/256 reduces everything below q.
void inverse_ntt_montgomery(Poly& p) noexcept {
  check_bound(p, Q);
  std::int32_t* a = p.coeffs.data();
  inverse_layer<1>(a);
  inverse_layer<2>(a);
  inverse_layer<4>(a);
  inverse_layer<8>(a);
  inverse_layer<16>(a);
  inverse_layer<32>(a);
  inverse_layer<64>(a);
  inverse_layer<128>(a);
  for (auto& c : p.coeffs) c = montgomery_reduce(std::int64_t{INVERSE_NTT_SCALE} * c);
  check_bound(p, Q);
}

// The six products are summed in 64 bits: each is below q^2 in size, so the sum is below 6 q^2, far
// under the 2^31 q a Montgomery reduction takes. One reduction per coefficient then does the work
// of six, and leaves |w| < q.
void matrix_row(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept {
  check_matrix_row_inputs(a, z, c, t);
  for (std::size_t i = 0; i < N; ++i) {
    std::int64_t sum = -std::int64_t{c.coeffs[i]} * t.coeffs[i];
    for (std::size_t s = 0; s < L; ++s) sum += std::int64_t{a[s].coeffs[i]} * z[s].coeffs[i];
    w.coeffs[i] = montgomery_reduce(sum);
  }
  check_bound(w, Q);
}

bool unpack_z(Poly& p, const std::uint8_t* bytes) noexcept {
  // Two 20-bit values in every five bytes.
  std::int32_t largest = 0;
  for (std::size_t i = 0; i < N / 2; ++i) {
    const std::uint8_t* b = bytes + 5 * i;
    const std::uint32_t v[2] = {
        b[0] | std::uint32_t{b[1]} << 8 | (std::uint32_t{b[2]} & 0x0F) << 16,
        b[2] >> 4 | std::uint32_t{b[3]} << 4 | std::uint32_t{b[4]} << 12,
    };
    for (std::size_t j = 0; j < 2; ++j) {
      const std::int32_t z = GAMMA1 - static_cast<std::int32_t>(v[j]);
      p.coeffs[2 * i + j] = z;
      // The norm is the standard's, on z's representative in [0, q): |z| < q / 2, so it is |z|.
      const std::int32_t norm = centred_norm(z < 0 ? z + Q : z);
      largest = norm > largest ? norm : largest;
    }
  }
  return largest < GAMMA1 - BETA;
}

void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept {
  // Four 10-bit values in every five bytes.
  for (std::size_t i = 0; i < N / 4; ++i) {
    const std::uint8_t* b = bytes + 5 * i;
    const std::uint32_t v[4] = {
        b[0] | (std::uint32_t{b[1]} & 0x03) << 8,
        b[1] >> 2 | (std::uint32_t{b[2]} & 0x0F) << 6,
        b[2] >> 4 | (std::uint32_t{b[3]} & 0x3F) << 4,
        b[3] >> 6 | std::uint32_t{b[4]} << 2,
    };
    for (std::size_t j = 0; j < 4; ++j) p.coeffs[4 * i + j] = static_cast<std::int32_t>(v[j] << D);
  }
}

void encode_w1(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept {
  check_bound(w, Q);
  std::array<std::uint8_t, N> w1;
  for (std::size_t i = 0; i < N; ++i) w1[i] = static_cast<std::uint8_t>(use_hint(false, to_canonical(w.coeffs[i])));
  for (std::size_t k = 0; k < count; ++k) {
    w1[positions[k]] = static_cast<std::uint8_t>(use_hint(true, to_canonical(w.coeffs[positions[k]])));
  }
  for (std::size_t i = 0; i < N / 2; ++i) out[i] = static_cast<std::uint8_t>(w1[2 * i] | w1[2 * i + 1] << 4);
}

}  // namespace halyx::mldsa::portable

namespace halyx::mldsa {

const Kernels PORTABLE_KERNELS = {
    .permute_one = keccak_f1600,
    .keccak_lanes = 1,
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
