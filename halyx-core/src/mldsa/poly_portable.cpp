// The portable kernels: plain C++, one Keccak state at a time, one coefficient at a time.

#include "mldsa/arith.hpp"
#include "mldsa/keccak.hpp"
#include "mldsa/poly.hpp"
#include "mldsa/portable.hpp"

namespace halyx::mldsa::portable {

void permute_lanes(std::uint64_t* state) noexcept { keccak_f1600_words(state); }

std::size_t rejection_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                             std::size_t len) noexcept {
  for (std::size_t i = 0; i + 3 <= len && filled < N; i += 3) {
    const std::int32_t v = bytes[i] | (bytes[i + 1] << 8) | ((bytes[i + 2] & 0x7F) << 16);
    if (v < Q) out[filled++] = v;
  }
  return filled;
}

// Cooley-Tukey butterflies, block size 256 down to 2, twiddles zetas[1..255] in order. Each layer
// adds less than q to the bound (a Montgomery product is below q), so from |p| < q the bound after
// all eight is 9q; one reduction at the end brings it back under q.
void ntt(Poly& p) noexcept {
  check_bound(p, Q);
  auto& a = p.coeffs;
  std::size_t m = 0;
  for (std::size_t len = N / 2; len >= 1; len /= 2) {
    for (std::size_t start = 0; start < N; start += 2 * len) {
      const std::int64_t zeta = ZETAS_MONTGOMERY[++m];
      for (std::size_t j = start; j < start + len; ++j) {
        const std::int32_t t = montgomery_reduce(zeta * a[j + len]);
        a[j + len] = a[j] - t;
        a[j] = a[j] + t;
      }
    }
  }
  for (auto& c : a) c = reduce(c);
}

// Gentleman-Sande butterflies, block size 2 up to 256, twiddles -zetas[255..1]. The sums double
// their bound at each layer and are never reduced: from |p| < q they stay under 256q < 2^31. The
// differences are Montgomery products, below q. The final scaling by R^2/256 reduces everything.
void inverse_ntt_montgomery(Poly& p) noexcept {
  check_bound(p, Q);
  auto& a = p.coeffs;
  std::size_t m = N;
  for (std::size_t len = 1; len < N; len *= 2) {
    for (std::size_t start = 0; start < N; start += 2 * len) {
      const std::int64_t zeta = -ZETAS_MONTGOMERY[--m];
      for (std::size_t j = start; j < start + len; ++j) {
        const std::int32_t t = a[j];
        a[j] = t + a[j + len];
        a[j + len] = montgomery_reduce(zeta * (t - a[j + len]));
      }
    }
  }
  for (auto& c : a) c = montgomery_reduce(std::int64_t{INVERSE_NTT_SCALE} * c);
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

}  // namespace halyx::mldsa::portable

namespace halyx::mldsa {

const Kernels PORTABLE_KERNELS = {
    keccak_f1600,     1, portable::permute_lanes, portable::rejection_sample, portable::ntt,
    portable::inverse_ntt_montgomery, portable::matrix_row,
};

}  // namespace halyx::mldsa
