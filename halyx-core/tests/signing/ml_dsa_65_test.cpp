#include <halyx/signing/ml_dsa_65.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "signing/fixtures.hpp"

namespace halyx::signing {
namespace {

using test::fixture;

std::expected<MlDsa65, SignatureError> scheme() {
  ensure_signature_backend_ready();
  return create_ml_dsa_65();
}

TEST(MlDsa65Handle, ReportsTheSchemeSizes) {
  auto s = scheme();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->length_public_key(), 1952u);
  EXPECT_EQ(s->length_signature(), 3309u);
}

TEST(MlDsa65Handle, ErrorTexts) {
  EXPECT_EQ(message(SignatureError::AlgorithmDisabled), "OQS Error: Algorithm has been disabled");
  EXPECT_TRUE(message(SignatureError::VerifyFailed).empty());
}

// Third-party known answers: every valid case verifies, every invalid one (bad hints, norms,
// lengths, 256-byte contexts, wrong messages) is refused.
TEST(MlDsa65Handle, AgreesWithKnownAnswerVectors) {
  auto s = scheme();
  ASSERT_TRUE(s.has_value());
  const auto rows = test::read_rows("mldsa65_verify.txt");
  ASSERT_EQ(rows.size(), 270u);
  int valid = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const auto& r = rows[i];
    const ByteString pk = test::from_hex(r[1]), msg = test::from_hex(r[2]), ctx = test::from_hex(r[3]),
                     sig = test::from_hex(r[4]);
    const auto got = s->verify_one(msg, sig, ctx, pk);
    EXPECT_EQ(got.has_value(), r[0] == "1");
    if (!got) {
      EXPECT_EQ(got.error(), SignatureError::VerifyFailed);
    }
    valid += got.has_value() ? 1 : 0;
  }
  EXPECT_EQ(valid, 91);
}

// Signatures from an independent signer over one STH: only the STH context with the CA key and the
// whole signature verifies.
TEST(MlDsa65Handle, VerifiesOnlyUnderTheSthContext) {
  auto s = scheme();
  ASSERT_TRUE(s.has_value());
  const ByteString& key = fixture("ca_public_key");
  const ByteString& sth = fixture("sth");
  struct Case {
    const char* name;
    ByteString signature;
    ByteView context;
    ByteString key;
    bool valid;
  };
  const ByteString& good = fixture("sth_signature");
  const std::vector<Case> cases = {
      {"sth_context", good, STH_SIGNATURE_CONTEXT, key, true},
      {"signed_with_empty_context", fixture("sth_signature_empty_context"), STH_SIGNATURE_CONTEXT, key, false},
      {"signed_with_other_context", fixture("sth_signature_other_context"), STH_SIGNATURE_CONTEXT, key, false},
      {"verified_with_empty_context", good, {}, key, false},
      {"signed_by_other_key", fixture("sth_signature_by_other_key"), STH_SIGNATURE_CONTEXT, key, false},
      {"other_key", good, STH_SIGNATURE_CONTEXT, fixture("other_public_key"), false},
      {"cut_to_3308", ByteString(good.begin(), good.end() - 1), STH_SIGNATURE_CONTEXT, key, false},
      {"extended_to_3310", [&] { ByteString g = good; g.push_back(0); return g; }(), STH_SIGNATURE_CONTEXT, key, false},
      {"empty_signature", {}, STH_SIGNATURE_CONTEXT, key, false},
      {"key_cut_to_1951", good, STH_SIGNATURE_CONTEXT, ByteString(key.begin(), key.end() - 1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(s->verify_one(sth, c.signature, c.context, c.key).has_value(), c.valid);
  }
  ByteString tampered = sth;
  tampered.back() ^= 1;
  EXPECT_FALSE(s->verify_one(tampered, good, STH_SIGNATURE_CONTEXT, key).has_value());
}

// Threads that start together all find the library initialised and verify correctly.
TEST(MlDsa65Handle, ConcurrentFirstUse) {
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ensure_signature_backend_ready();
      auto s = create_ml_dsa_65();
      if (s && s->verify_one(fixture("sth"), fixture("sth_signature"), STH_SIGNATURE_CONTEXT,
                                      fixture("ca_public_key"))) {
        ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 4);
}

}  // namespace
}  // namespace halyx::signing
