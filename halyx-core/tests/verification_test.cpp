// The whole verification over calls made by the independent issuer: each call ends in its verified
// fields or in the first failure of the fixed order, with the class and text the module raises.
#include <halyx/verification.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "signing/fixtures.hpp"

namespace halyx {
namespace {

using test::fixture;

struct Call {
  ByteString leaf, proof, sth, signature, key;
};

Call call(const std::string& name) {
  const auto arg = [&](const char* field) { return fixture("call." + name + "." + field); };
  return {arg("leaf_bytes"), arg("proof_bytes"), arg("sth_bytes"), arg("signature"), arg("ca_public_key")};
}

std::expected<VerifiedInclusion, VerifyError> run(const Call& c) {
  return verify_inclusion(c.leaf, c.proof, c.sth, c.signature, c.key);
}

TEST(VerifyInclusion, ReportsTheSthFieldsAndTheProofIndex) {
  struct Row {
    const char* call;
    VerifiedInclusion want;
  };
  for (const Row& row : {Row{"valid", {5, 8, 1733600000123}}, Row{"extra_entry", {5, 8, 1733600000123}},
                         Row{"proof_states_other_size", {0, 3, 1733600000123}},
                         Row{"extensions_max_timestamp", {5, 8, 18446744073709551615u}}}) {
    SCOPED_TRACE(row.call);
    auto got = run(call(row.call));
    ASSERT_TRUE(got.has_value()) << message(got.error());
    EXPECT_EQ(*got, row.want);
  }
}

// One fault per row, each placed so that an earlier check would pass and a later one would also
// fail: the row's text shows which check ran first.
TEST(VerifyInclusion, ReportsTheFirstFailureWithItsClass) {
  const Call valid = call("valid");
  struct Row {
    const char* name;
    Call input;
    ErrorClass want_class;
    std::string want;
  };
  Call short_key = valid, long_signature = valid, short_signature = valid, bad_proof = valid;
  short_key.key.pop_back();
  short_key.signature.push_back(0);  // also too long: the key is judged first
  long_signature.signature.push_back(0);
  short_signature.signature.pop_back();
  bad_proof.proof = {0x80};
  bad_proof.leaf = {0xff};  // also malformed: the proof is decoded first
  Call bad_leaf = valid;
  bad_leaf.leaf = {0xa0};
  const Row rows[] = {
      {"key_length", short_key, ErrorClass::Verification, "ca_public_key rejected by oqs (expected 1952 bytes, got 1951)"},
      {"signature_length", long_signature, ErrorClass::InvalidProof,
       "signature rejected by oqs (expected 3309 bytes, got 3310)"},
      {"short_signature", short_signature, ErrorClass::InvalidProof, "ML-DSA-65 signature verification failed"},
      {"empty_context", call("empty_context"), ErrorClass::InvalidProof, "ML-DSA-65 signature verification failed"},
      {"sth_trailing_byte", call("signed_trailing_byte"), ErrorClass::Verification,
       "STH envelope decode failed: trailing garbage: 1 bytes remain after decode"},
      {"proof_before_leaf", bad_proof, ErrorClass::Verification,
       "inclusion proof decode failed: expected array length 3 at offset 0, got 0 (while reading inclusion proof "
       "array(3))"},
      {"leaf", bad_leaf, ErrorClass::Verification, "leaf decode failed: malformed leaf: schema_version: missing CBOR map key"},
      {"non_shortest_sth", call("non_shortest_sth"), ErrorClass::InvalidProof,
       "STH verification failed: ML-DSA-65 signature is invalid"},
      {"raw_bytes_hashed", call("extra_entry_hashed_raw"), ErrorClass::InvalidProof, "Merkle inclusion proof invalid"},
      {"index_in_smaller_tree", call("last_of_five_as_index_1_of_2"), ErrorClass::InvalidProof,
       "Merkle inclusion proof invalid"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto got = run(row.input);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(error_class(got.error()), row.want_class);
    EXPECT_EQ(message(got.error()), row.want);
  }
  auto other_log = run(call("other_log"));
  ASSERT_FALSE(other_log.has_value());
  ASSERT_TRUE(std::holds_alternative<SthCheckFailed>(other_log.error()));
  EXPECT_TRUE(std::holds_alternative<signing::LogIdMismatch>(std::get<SthCheckFailed>(other_log.error()).error));
  EXPECT_EQ(class_name(error_class(other_log.error())), "HalyxInvalidProofError");
  EXPECT_EQ(class_name(ErrorClass::Verification), "HalyxVerificationError");
}

}  // namespace
}  // namespace halyx
