// Tests of the polynomial kernels of every path this CPU runs, each against the definitions rather
// than against another path: the NTT evaluates at the odd powers of zeta, computed here in plain
// 64-bit arithmetic. Inputs are random and at the extremes of the ranges the contracts allow.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "mldsa/each_path.hpp"
#include <halyx/mldsa/arith.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {
namespace {

using Residues = std::array<std::int64_t, N>;

std::int64_t mod_q(std::int64_t a) { return (a % Q + Q) % Q; }

std::int64_t power(std::int64_t base, std::int64_t e) {
  std::int64_t r = 1;
  for (; e != 0; e >>= 1, base = base * base % Q) {
    if (e & 1) r = r * base % Q;
  }
  return r;
}

const std::int64_t R = (std::int64_t{1} << 32) % Q;

// Coefficient i of NTT(p) is p evaluated at zeta^(2 BitRev8(i) + 1), here by Horner's rule.
Residues definition_ntt(const Poly& p) {
  Residues out{};
  for (std::size_t i = 0; i < N; ++i) {
    std::size_t reversed = 0;
    for (std::size_t b = 0; b < 8; ++b) reversed |= ((i >> b) & 1) << (7 - b);
    const std::int64_t x = power(1753, static_cast<std::int64_t>(2 * reversed + 1));
    for (std::size_t j = N; j-- > 0;) out[i] = (out[i] * x + mod_q(p.coeffs[j])) % Q;
  }
  return out;
}

Residues residues(const Poly& p, std::int64_t factor = 1) {
  Residues out;
  for (std::size_t i = 0; i < N; ++i) out[i] = mod_q(p.coeffs[i]) * factor % Q;
  return out;
}

// Returns "" when every coefficient is below q in size, as each contract promises; else the first
// that is not.
std::string out_of_range(const Poly& p) {
  for (std::size_t i = 0; i < N; ++i) {
    if (p.coeffs[i] <= -Q || p.coeffs[i] >= Q) {
      return "coefficient " + std::to_string(i) + " is " + std::to_string(p.coeffs[i]);
    }
  }
  return "";
}

Poly filled(std::int32_t even, std::int32_t odd) {
  Poly p;
  for (std::size_t i = 0; i < N; ++i) p.coeffs[i] = i % 2 == 0 ? even : odd;
  return p;
}

Poly random_poly(std::mt19937& rng) {
  std::uniform_int_distribution<std::int32_t> d(-(Q - 1), Q - 1);
  Poly p;
  for (auto& c : p.coeffs) c = d(rng);
  return p;
}

const Poly HIGH = filled(Q - 1, Q - 1), LOW = filled(-(Q - 1), -(Q - 1));

// The extremes push the intermediate values highest (the inverse's sums to 256 (q - 1)); random
// polynomials catch a wrong twiddle or a coefficient out of place.
std::vector<std::pair<std::string, Poly>> inputs() {
  std::mt19937 rng(2024);
  std::vector<std::pair<std::string, Poly>> v = {{"zero", filled(0, 0)},
                                                 {"all_q_minus_1", HIGH},
                                                 {"all_minus_q_plus_1", LOW},
                                                 {"alternating", filled(Q - 1, -(Q - 1))}};
  for (int i = 0; i < 4; ++i) v.emplace_back("random_" + std::to_string(i), random_poly(rng));
  return v;
}

class PolyKernels : public test::EachPath {};
HALYX_FOR_EACH_PATH(PolyKernels);

TEST_P(PolyKernels, NttMatchesTheDefinition) {
  for (const auto& [name, p] : inputs()) {
    SCOPED_TRACE(name);
    Poly got = p;
    kernels().ntt(got);
    EXPECT_EQ(out_of_range(got), "");
    EXPECT_EQ(residues(got), definition_ntt(p));
  }
}

// The inverse is checked through the forward definition, NTT(out) = p * 2^32, then on the round trip.
TEST_P(PolyKernels, InverseNttMatchesTheDefinition) {
  const Kernels& k = kernels();
  for (const auto& [name, p] : inputs()) {
    SCOPED_TRACE(name);
    Poly got = p;
    k.inverse_ntt_montgomery(got);
    EXPECT_EQ(out_of_range(got), "");
    EXPECT_EQ(definition_ntt(got), residues(p, R));
    got = p;
    k.ntt(got);
    k.inverse_ntt_montgomery(got);
    EXPECT_EQ(residues(got), residues(p, R));
  }
}

struct RowInput {
  std::string name;
  std::array<Poly, L> a, z;
  Poly c, t;
};

RowInput uniform_row(std::string name, const Poly& a, const Poly& z, const Poly& c, const Poly& t) {
  RowInput r{std::move(name), {}, {}, c, t};
  r.a.fill(a);
  r.z.fill(z);
  return r;
}

TEST_P(PolyKernels, MatrixRowMatchesDirectArithmetic) {
  // Every product at its largest and of one sign, the sum is +-6 (q - 1)^2.
  std::vector<RowInput> rows = {uniform_row("largest_sum", HIGH, HIGH, HIGH, LOW),
                                uniform_row("smallest_sum", HIGH, LOW, HIGH, HIGH)};
  std::mt19937 rng(7);
  for (int i = 0; i < 3; ++i) {
    RowInput r{"random_" + std::to_string(i), {}, {}, random_poly(rng), random_poly(rng)};
    for (std::size_t s = 0; s < L; ++s) {
      r.a[s] = random_poly(rng);
      r.z[s] = random_poly(rng);
    }
    rows.push_back(r);
  }
  const std::int64_t r_inverse = power(R, Q - 2);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Residues want;
    for (std::size_t i = 0; i < N; ++i) {
      std::int64_t sum = Q - mod_q(r.c.coeffs[i]) * mod_q(r.t.coeffs[i]) % Q;
      for (std::size_t s = 0; s < L; ++s) sum += mod_q(r.a[s].coeffs[i]) * mod_q(r.z[s].coeffs[i]) % Q;
      want[i] = sum % Q * r_inverse % Q;
    }
    Poly got;
    kernels().matrix_row(got, r.a.data(), r.z.data(), r.c, r.t);
    EXPECT_EQ(out_of_range(got), "");
    EXPECT_EQ(residues(got), want);
  }
}

// The portable transforms reduce nothing but through Shoup's multiplication, and lean on it for
// every 32-bit input up to 512q. Each constant they use, times the inputs at the ends of that
// range and random ones, must give a value below 2q congruent to the product.
TEST(ShoupMultiply, StaysBelowTwoQAndCongruentForEveryConstant) {
  std::vector<ShoupConstant> constants(ZETAS_SHOUP.begin() + 1, ZETAS_SHOUP.end());
  constants.insert(constants.end(), INVERSE_ZETAS_SHOUP.begin() + 1, INVERSE_ZETAS_SHOUP.end());
  constants.push_back(INVERSE_NTT_SCALE_SHOUP);
  constants.push_back(shoup_constant(Q - 1));
  std::mt19937 rng(5);
  for (const ShoupConstant c : constants) {
    ASSERT_LT(c.w, static_cast<std::uint32_t>(Q));
    std::vector<std::uint32_t> xs = {0, 1, Q - 1, Q, 2 * Q, 18 * Q, 512u * Q - 1, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 8; ++i) xs.push_back(static_cast<std::uint32_t>(rng()));
    for (const std::uint32_t x : xs) {
      const std::uint32_t r = shoup_multiply(x, c);
      SCOPED_TRACE("w " + std::to_string(c.w) + " x " + std::to_string(x));
      ASSERT_LT(r, static_cast<std::uint32_t>(2 * Q));
      ASSERT_EQ(r % Q, std::uint64_t{x} * c.w % Q);
    }
  }
}

}  // namespace
}  // namespace halyx::mldsa
