// The coefficient-wise glue of every path this CPU runs: unpacking z with its bound check,
// unpacking t1 * 2^d, and packing the hinted high bits of w. Each kernel is compared with the
// layouts read bit by bit (layout.hpp) and with encoding.hpp's rounding, which rounding_test
// checks against its definition on every residue. Rows are heap buffers of exactly their size, so
// the sanitizer build also catches a kernel that reads past its row.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <halyx/mldsa/encoding.hpp>
#include "mldsa/each_path.hpp"
#include "mldsa/layout.hpp"
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {
namespace {

using test::read_bits;
using test::write_bits;

// One row of `width`-bit fields holding `values`, in a buffer of exactly its size.
ByteString pack(const std::vector<std::uint32_t>& values, unsigned width) {
  ByteString row(values.size() * width / 8);
  for (std::size_t i = 0; i < values.size(); ++i) write_bits(row.data(), i * width, width, values[i]);
  return row;
}

// The stored values of z around the bound and at the ends of the field, and whether a row made of
// them is within bound: z = gamma1 - v must satisfy |z| < gamma1 - beta.
struct ZValue {
  const char* name;
  std::uint32_t stored;
  bool within;
};
constexpr std::array<ZValue, 7> Z_VALUES = {{
    {"z_gamma1", 0, false},
    {"z_gamma1_minus_1", 1, false},
    {"z_at_bound", BETA, false},
    {"z_inside_bound", BETA + 1, true},
    {"minus_z_inside_bound", 2 * GAMMA1 - BETA - 1, true},
    {"minus_z_at_bound", 2 * GAMMA1 - BETA, false},
    {"z_minus_gamma1_plus_1", (1u << 20) - 1, false},
}};

// Runs unpack_z on the row of stored values and compares it with the layout's reading.
void expect_unpack_z(const Kernels& k, const std::vector<std::uint32_t>& stored, bool want_within,
                     const std::string& name) {
  SCOPED_TRACE(name);
  const ByteString row = pack(stored, 20);
  Poly got;
  EXPECT_EQ(k.unpack_z(got, row.data()), want_within);
  for (std::size_t i = 0; i < N; ++i) {
    const auto v = static_cast<std::int32_t>(read_bits(row.data(), i * 20, 20));
    ASSERT_EQ(got.coeffs[i], GAMMA1 - v) << "coefficient " << i;
  }
}

class MlDsaGlue : public test::EachPath {};
HALYX_FOR_EACH_PATH(MlDsaGlue);

TEST_P(MlDsaGlue, UnpackZMatchesTheLayoutAndTheBound) {
  std::mt19937_64 rng(20);
  std::uniform_int_distribution<std::uint32_t> inside(BETA + 1, 2 * GAMMA1 - BETA - 1);
  const Kernels& k = kernels();
  std::vector<std::uint32_t> stored(N);
  // Each extreme fills a row, then sits alone at every position of a random row within bound, so
  // that a lane whose norm is dropped, or a field read from the wrong bits, shows.
  for (const ZValue& z : Z_VALUES) {
    stored.assign(N, z.stored);
    expect_unpack_z(k, stored, z.within, std::string(z.name) + " everywhere");
    for (std::size_t i = 0; i < N; ++i) {
      for (auto& v : stored) v = inside(rng);
      stored[i] = z.stored;
      expect_unpack_z(k, stored, z.within, std::string(z.name) + " at " + std::to_string(i));
    }
  }
}

TEST_P(MlDsaGlue, UnpackT1MatchesTheLayout) {
  std::mt19937_64 rng(10);
  for (std::size_t shape = 0; shape < N + 3; ++shape) {
    std::vector<std::uint32_t> values(N, shape == 1 ? 1023 : 0);  // 0: zero, 1: largest
    if (shape == 2) {
      for (auto& v : values) v = static_cast<std::uint32_t>(rng() % 1024);
    } else if (shape > 2) {
      values[shape - 3] = 1023;
    }
    SCOPED_TRACE("row shape " + std::to_string(shape));
    const ByteString row = pack(values, 10);
    Poly got;
    kernels().unpack_t1_shifted(got, row.data());
    for (std::size_t i = 0; i < N; ++i) {
      ASSERT_EQ(got.coeffs[i], static_cast<std::int32_t>(values[i] << D)) << "coefficient " << i;
    }
  }
}

// Runs encode_w1 and returns "" when it agrees with encoding.hpp's use_hint on every coefficient,
// else the first that differs.
std::string encode_w1_mismatch(const Kernels& k, const Poly& w, const std::vector<std::uint8_t>& positions) {
  std::array<bool, N> hinted{};
  for (const std::uint8_t p : positions) hinted[p] = true;
  std::array<std::uint8_t, W1_POLY_BYTES> got;
  k.encode_w1(got.data(), w, positions.data(), positions.size());
  for (std::size_t i = 0; i < N; ++i) {
    const std::int32_t r = w.coeffs[i] < 0 ? w.coeffs[i] + Q : w.coeffs[i];
    if ((got[i / 2] >> (4 * (i % 2)) & 15) != use_hint(hinted[i], r)) {
      return "coefficient " + std::to_string(i) + ", w = " + std::to_string(w.coeffs[i]) +
             (hinted[i] ? ", hinted" : "");
    }
  }
  return "";
}

// Every residue, as itself and as the negative representative the inverse NTT may leave, with no
// hint and with every coefficient hinted: the faults of a vector rounding sit on single values
// (the edges of each band of r1, r0 = 0, the band that wraps to 0).
TEST_P(MlDsaGlue, EncodeW1MatchesTheRoundingOnEveryResidue) {
  std::vector<std::uint8_t> all(N);
  for (std::size_t i = 0; i < N; ++i) all[i] = static_cast<std::uint8_t>(i);
  const Kernels& k = kernels();
  for (const bool negative : {false, true}) {
    for (std::int32_t first = 0; first < Q; first += static_cast<std::int32_t>(N)) {
      Poly w;
      for (std::size_t i = 0; i < N; ++i) {
        const std::int32_t r = (first + static_cast<std::int32_t>(i)) % Q;
        w.coeffs[i] = negative && r != 0 ? r - Q : r;
      }
      for (const auto& positions : {std::vector<std::uint8_t>{}, all}) {
        ASSERT_EQ(encode_w1_mismatch(k, w, positions), "") << (positions.empty() ? "no hint" : "all hinted");
      }
    }
  }
}

// The hint's own positions: first and last coefficients, both halves of a byte, alone and together,
// with the band edges moved through them.
TEST_P(MlDsaGlue, EncodeW1AppliesTheHintWhereItIs) {
  std::vector<std::int32_t> edges = {0, GAMMA2 - 1, GAMMA2, GAMMA2 + 1, Q - 1 - GAMMA2, Q - GAMMA2, Q - 2, Q - 1};
  for (std::int32_t band = 1; band < 16; ++band) {
    for (const std::int32_t d : {-1, 0, 1}) edges.push_back(2 * GAMMA2 * band + d);
  }
  for (std::size_t i = 1, n = edges.size(); i < n; ++i) edges.push_back(edges[i] - Q);
  const std::vector<std::vector<std::uint8_t>> hints = {{}, {0}, {1}, {254}, {255}, {0, 1, 254, 255}, {1, 2, 127, 128}};
  std::mt19937_64 rng(1);
  const Kernels& k = kernels();
  for (const auto& positions : hints) {
    std::string trace = "hinted:";
    for (const std::uint8_t at : positions) trace += ' ' + std::to_string(at);
    SCOPED_TRACE(trace);
    Poly w;
    for (std::size_t shift = 0; shift < edges.size(); ++shift) {
      for (std::size_t i = 0; i < N; ++i) w.coeffs[i] = edges[(i + shift) % edges.size()];
      ASSERT_EQ(encode_w1_mismatch(k, w, positions), "") << "edges shifted by " << shift;
    }
    for (auto& c : w.coeffs) c = static_cast<std::int32_t>(rng() % (2 * Q - 1)) - (Q - 1);
    ASSERT_EQ(encode_w1_mismatch(k, w, positions), "") << "random";
  }
}

}  // namespace
}  // namespace halyx::mldsa
