#include <halyx/signing/sth_signature.hpp>

#include <gtest/gtest.h>

#include <halyx/serialization/signed_tree_head.hpp>
#include "signing/fixtures.hpp"

namespace halyx::signing {
namespace {

using test::fixture;

CaPublicKey key_of(const ByteString& k) { return CaPublicKey(k.data(), ML_DSA_65_PUBLIC_KEY_LENGTH); }

std::expected<wire::SignedTreeHead, wire::WireDecodeError> decoded(const std::string& name) {
  return wire::decode_signed_tree_head(fixture(name));
}

std::string hash_list(const Hash32& h) {
  std::string s = "[";
  for (std::size_t i = 0; i < h.size(); ++i) s += (i ? ", " : "") + std::to_string(h[i]);
  return s + "]";
}

TEST(DeriveLogId, IsTheDigestOfTheRawKey) {
  // The independent issuer wrote SHA-256 of its key into the STH.
  const auto sth = decoded("sth");
  ASSERT_TRUE(sth.has_value());
  EXPECT_EQ(derive_log_id(fixture("ca_public_key")), sth->log_id);
  EXPECT_NE(derive_log_id(fixture("other_public_key")), sth->log_id);
}

TEST(SthVerifyErrorText, ExactMessages) {
  Hash32 a{}, b{};
  a[0] = 255;
  b[31] = 7;
  EXPECT_EQ(message(SthVerifyError{SignatureInvalid{}}), "ML-DSA-65 signature is invalid");
  EXPECT_EQ(message(SthVerifyError{LogIdMismatch{a, b}}),
            "log_id mismatch: STH claims [255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
            "0, 0, 0, 0, 0, 0, 0, 0, 0], but ca_public_key derives [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
            "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7]");
}

TEST(VerifySthSignature, Accepts) {
  const auto sth = decoded("sth");
  ASSERT_TRUE(sth.has_value());
  EXPECT_TRUE(verify_sth_signature(*sth, test::prepared(fixture("ca_public_key"), fixture("sth_signature")), key_of(fixture("ca_public_key"))));
  // No freshness rule: the largest timestamp is as good as any.
  const auto old = decoded("sth_max_timestamp");
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->timestamp, UINT64_MAX);
  EXPECT_TRUE(verify_sth_signature(*old, test::prepared(fixture("ca_public_key"), fixture("sth_max_timestamp_signature")),
                                   key_of(fixture("ca_public_key"))));
}

TEST(VerifySthSignature, IdentityIsCheckedBeforeTheSignature) {
  const auto sth = decoded("sth");
  ASSERT_TRUE(sth.has_value());
  const ByteString& other = fixture("other_public_key");
  const std::string want = "log_id mismatch: STH claims " + hash_list(sth->log_id) + ", but ca_public_key derives " +
                           hash_list(derive_log_id(other));
  for (const ByteString& sig : {fixture("sth_signature"), fixture("sth_signature_by_other_key"), ByteString{}}) {
    auto got = verify_sth_signature(*sth, test::prepared(other, sig), key_of(other));
    ASSERT_FALSE(got);
    ASSERT_TRUE(std::holds_alternative<LogIdMismatch>(got.error()));
    EXPECT_EQ(message(got.error()), want);
  }
  // Signed by the caller's key, naming another log.
  const auto other_log = decoded("sth_other_log");
  ASSERT_TRUE(other_log.has_value());
  auto foreign = verify_sth_signature(
      *other_log, test::prepared(fixture("ca_public_key"), fixture("sth_other_log_signature")),
      key_of(fixture("ca_public_key")));
  ASSERT_FALSE(foreign);
  EXPECT_TRUE(std::holds_alternative<LogIdMismatch>(foreign.error()));
}

TEST(VerifySthSignature, RefusesSignatures) {
  const ByteString& good = fixture("sth_signature");
  ByteString long_sig = good;
  long_sig.push_back(0);
  struct Case {
    const char* name;
    std::string sth;
    ByteString signature;
  };
  const std::vector<Case> cases = {
      {"cut_to_3308", "sth", ByteString(good.begin(), good.end() - 1)},
      {"extended_to_3310", "sth", long_sig},
      {"empty_context", "sth", fixture("sth_signature_empty_context")},
      {"other_context", "sth", fixture("sth_signature_other_context")},
      {"by_other_key", "sth", fixture("sth_signature_by_other_key")},
      // The caller's bytes were validly signed, but used a longer head than needed: the record
      // re-encodes to other bytes, which nobody signed.
      {"non_shortest_heads", "sth_non_shortest", fixture("sth_non_shortest_signature")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto sth = decoded(c.sth);
    ASSERT_TRUE(sth.has_value());
    auto got = verify_sth_signature(*sth, test::prepared(fixture("ca_public_key"), c.signature),
                                    key_of(fixture("ca_public_key")));
    ASSERT_FALSE(got);
    EXPECT_EQ(message(got.error()), "ML-DSA-65 signature is invalid");
  }
  // Knowing that the signature holds over the caller's longer-headed bytes settles nothing about
  // the re-encoding, which differs from them: it must still be decided, and fail.
  const auto sth = decoded("sth_non_shortest");
  ASSERT_TRUE(sth.has_value());
  auto got = verify_sth_signature(*sth, test::prepared(fixture("ca_public_key"), fixture("sth_non_shortest_signature")),
                                  key_of(fixture("ca_public_key")), fixture("sth_non_shortest"));
  ASSERT_FALSE(got);
  EXPECT_EQ(message(got.error()), "ML-DSA-65 signature is invalid");
}

}  // namespace
}  // namespace halyx::signing
