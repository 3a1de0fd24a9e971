// The walk of a leaf into an STH's tree over calls made by the independent issuer: the leaf hash
// covers the canonical record under the STH's log, and the proof must lead to the STH's root, under
// the STH's size too when it states another. The STH's own check is sth_signature_test's.
#include <halyx/merkle/inclusion.hpp>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/digest/sha256.hpp>
#include "signing/fixtures.hpp"

namespace halyx::merkle {
namespace {

using digest::sha256;
using test::fixture;

struct Decoded {
  leaf::MtacLeaf leaf;
  wire::InclusionProof proof;
  wire::SignedTreeHead sth;
};

// Decodes the issuer's call `call` into `out`; run it under ASSERT_NO_FATAL_FAILURE.
void decode_call(const std::string& call, Decoded& out) {
  const auto arg = [&](const char* name) -> const ByteString& { return fixture("call." + call + "." + name); };
  auto leaf = leaf::decode_mtac_leaf(arg("leaf_bytes"));
  auto proof = wire::decode_inclusion_proof_v1(arg("proof_bytes"));
  auto sth = wire::decode_signed_tree_head(arg("sth_bytes"));
  ASSERT_TRUE(leaf && proof && sth) << call;
  out = {*leaf, *proof, *sth};
}

bool in_tree(const Decoded& d) { return verify_leaf_in_tree(d.leaf, d.proof, d.sth); }

TEST(LeafHash, CoversTheTagTheLogAndTheCanonicalBytes) {
  const leaf::MtacLeaf leaf{1, "a1", "s1", {"read"}, 10, 300};
  Hash32 log_id{};
  log_id[0] = 9;
  const ByteString canonical = leaf::serialize_canonical(leaf);
  ASSERT_EQ(canonical.size(), 92u);
  ByteString preimage{0x00, 'h', 'a', 'l', 'y', 'x', '-', 'l', 'e', 'a', 'f', '/', 'v', '1', '\n', 0, 0};
  preimage.insert(preimage.end(), log_id.begin(), log_id.end());
  preimage.insert(preimage.end(), canonical.begin(), canonical.end());
  EXPECT_EQ(leaf_hash(leaf, log_id), sha256(preimage));
  Hash32 other_log = log_id;
  other_log[31] = 1;
  EXPECT_NE(leaf_hash(leaf, other_log), leaf_hash(leaf, log_id));
}

// The shortcuts for records already in canonical form give leaf_hash of the decoded record: alone,
// and four at once with records of every size around the blocks and past the side-by-side limit.
TEST(LeafHash, OfCanonicalBytesAloneAndFourAtOnce) {
  Hash32 log_id{};
  log_id[3] = 7;
  std::vector<ByteString> records;
  std::vector<Hash32> want;
  for (const std::size_t n : {0, 1, 3, 14, 15, 16, 17, 78, 79, 80, 400, 420, 421, 600}) {
    const leaf::MtacLeaf leaf{1, std::string(n, 'a'), "s", {"read"}, n, 2 * n};
    records.push_back(leaf::serialize_canonical(leaf));
    want.push_back(leaf_hash(leaf, log_id));
    EXPECT_EQ(leaf_hash_of_canonical(records.back(), log_id), want.back()) << n;
  }
  for (std::size_t i = 0; i + 4 <= records.size(); ++i) {
    const std::array<ByteView, 4> quad = {records[i], records[i + 1], records[i + 2], records[i + 3]};
    std::array<Hash32, 4> got{};
    leaf_hashes_of_canonical_x4(quad, log_id, got);
    for (std::size_t l = 0; l < 4; ++l) EXPECT_EQ(got[l], want[i + l]) << i << " lane " << l;
  }
}

TEST(VerifyLeafInTree, AcceptsIssuedLeaves) {
  for (const char* call : {"valid", "extra_entry", "proof_states_other_size", "single_leaf", "last_of_five",
                           "extensions_max_timestamp"}) {
    SCOPED_TRACE(call);
    Decoded d;
    ASSERT_NO_FATAL_FAILURE(decode_call(call, d));
    EXPECT_TRUE(in_tree(d));
  }
}

TEST(VerifyLeafInTree, RefusesProofsThatDoNotLeadToTheRoot) {
  Decoded valid;
  ASSERT_NO_FATAL_FAILURE(decode_call("valid", valid));
  struct Case {
    const char* name;
    Decoded d;
  };
  std::vector<Case> cases;
  auto mutate = [&](const char* name, auto change) {
    Decoded d = valid;
    change(d);
    cases.push_back({name, std::move(d)});
  };
  mutate("index_plus_one", [](Decoded& d) { d.proof.leaf_index += 1; });
  mutate("index_minus_one", [](Decoded& d) { d.proof.leaf_index -= 1; });
  mutate("element_removed", [](Decoded& d) { d.proof.inclusion_path.pop_back(); });
  mutate("element_added", [](Decoded& d) { d.proof.inclusion_path.push_back(d.proof.inclusion_path[0]); });
  mutate("flipped_bit", [](Decoded& d) { d.proof.inclusion_path[1][0] ^= 0x08; });
  mutate("other_leaf_field", [](Decoded& d) { d.leaf.not_after += 1; });
  mutate("tree_size_zero", [](Decoded& d) { d.proof.tree_size = 0; });
  mutate("other_log", [](Decoded& d) { d.sth.log_id[0] ^= 0x01; });
  mutate("other_root", [](Decoded& d) { d.sth.root_hash[31] ^= 0x80; });
  // Made by the issuer: the caller's bytes, extra entry included, were hashed into the tree.
  for (const char* issued : {"extra_entry_hashed_raw",
                             // Leaf 4 of five, whose path also fits leaf 1 of a two-leaf tree.
                             "last_of_five_as_index_1_of_2"}) {
    Decoded d;
    ASSERT_NO_FATAL_FAILURE(decode_call(issued, d));
    cases.push_back({issued, std::move(d)});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(in_tree(c.d));
  }
}

}  // namespace
}  // namespace halyx::merkle
