// Known answers written outside the project, run on every code path this CPU has: each path must
// accept exactly the valid cases, so a vector kernel that breaks a rarely used branch (a boundary
// z, a hint at position 255, an all-zero key) is caught here even when the process never picks it.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "mldsa/each_path.hpp"
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include "signing/fixtures.hpp"

namespace halyx::mldsa {
namespace {

// The pure interface: a message and a context.
struct PureCase {
  bool valid;
  ByteString key, message, context, signature;
};

// Below the pure interface: the verifier's core given M' (the already-prefixed message) or mu.
struct CoreCase {
  bool valid;
  bool gives_mu;
  ByteString key, input, signature;
};

const std::vector<PureCase>& pure_cases() {
  static const std::vector<PureCase> cases = [] {
    std::vector<PureCase> out;
    for (const auto& r : halyx::test::read_rows("mldsa65_verify.txt")) {
      out.push_back({r.at(0) == "1", halyx::test::from_hex(r.at(1)), halyx::test::from_hex(r.at(2)),
                     halyx::test::from_hex(r.at(3)), halyx::test::from_hex(r.at(4))});
    }
    return out;
  }();
  return cases;
}

const std::vector<CoreCase>& core_cases() {
  static const std::vector<CoreCase> cases = [] {
    std::vector<CoreCase> out;
    for (const auto& r : halyx::test::read_rows("mldsa65_verify_internal.txt")) {
      out.push_back({r.at(0) == "1", r.at(1) == "mu", halyx::test::from_hex(r.at(2)), halyx::test::from_hex(r.at(3)),
                     halyx::test::from_hex(r.at(4))});
    }
    return out;
  }();
  return cases;
}

// mu = H(H(pk, 64) || M', 64), computed here rather than by the verifier, so that the M' cases test
// the core the same way the mu cases do.
std::array<std::uint8_t, MU_BYTES> mu_of(const ByteString& key, const ByteString& m_prime) {
  std::array<std::uint8_t, TR_BYTES> tr;
  Shake256 h_key;
  h_key.absorb(key);
  h_key.squeeze(tr);
  std::array<std::uint8_t, MU_BYTES> mu;
  Shake256 h_message;
  h_message.absorb(tr);
  h_message.absorb(m_prime);
  h_message.squeeze(mu);
  return mu;
}

// The handle refuses a key of any other length before it prepares anything.
bool key_fits(const ByteString& key) { return key.size() == PUBLIC_KEY_BYTES; }
PublicKeyView key_view(const ByteString& key) { return PublicKeyView(key.data(), PUBLIC_KEY_BYTES); }

class MlDsaKnownAnswers : public test::EachPath {};
HALYX_FOR_EACH_PATH(MlDsaKnownAnswers);

TEST_P(MlDsaKnownAnswers, PureInterfaceOnEveryPath) {
  const auto& cases = pure_cases();
  ASSERT_EQ(cases.size(), 270u);
  int accepted = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const PureCase& c = cases[i];
    const bool got = key_fits(c.key) &&
                     prepare(key_view(c.key), c.signature, kernels()).decide(c.message, c.context);
    EXPECT_EQ(got, c.valid) << "pure case " << i;
    const bool with_message =
        key_fits(c.key) && prepare(key_view(c.key), c.signature, c.message, c.context, kernels()).decide_prepared();
    EXPECT_EQ(with_message, c.valid) << "pure case " << i << ", the message prepared with the signature";
    accepted += got ? 1 : 0;
  }
  EXPECT_EQ(accepted, 91);
}

TEST_P(MlDsaKnownAnswers, CoreOnEveryPath) {
  const auto& cases = core_cases();
  ASSERT_EQ(cases.size(), 120u);
  std::array<int, 2> seen{}, accepted{};  // [gives_mu]
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const CoreCase& c = cases[i];
    bool got = false;
    if (key_fits(c.key)) {
      const auto prepared = prepare(key_view(c.key), c.signature, kernels());
      if (c.gives_mu) {
        ASSERT_EQ(c.input.size(), MU_BYTES) << "core case " << i;
        got = prepared.decide_mu(std::span<const std::uint8_t, MU_BYTES>(c.input.data(), MU_BYTES));
      } else {
        got = prepared.decide_mu(mu_of(c.key, c.input));
      }
    }
    EXPECT_EQ(got, c.valid) << (c.gives_mu ? "mu" : "M'") << " case " << i;
    ++seen[c.gives_mu];
    accepted[c.gives_mu] += got ? 1 : 0;
  }
  EXPECT_EQ(seen, (std::array<int, 2>{60, 60}));
  EXPECT_EQ(accepted, (std::array<int, 2>{12, 12}));
}

}  // namespace
}  // namespace halyx::mldsa
