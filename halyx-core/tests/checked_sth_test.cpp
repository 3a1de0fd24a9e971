// An STH checked once must decide every (leaf, proof) pair exactly as a whole call with the same
// five inputs does: the same value or the same failure, including which failure wins. The pairs
// come from every signed fixture call, crossed with every STH, and with malformed leaves and
// proofs that make the decodes fail before a later STH failure would show.
#include <halyx/checked_sth.hpp>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <halyx/serialization/mtac_leaf.hpp>
#include "signing/fixtures.hpp"

namespace halyx {
namespace {

using test::fixture;
using test::signed_fixtures;

struct Named {
  std::string name;
  ByteString bytes;
};

// The fixture calls' names: "call.NAME.leaf_bytes" and its siblings.
std::vector<std::string> call_names() {
  std::vector<std::string> names;
  const std::string suffix = ".leaf_bytes";
  for (const auto& [key, bytes] : signed_fixtures()) {
    if (key.starts_with("call.") && key.ends_with(suffix)) {
      names.push_back(key.substr(5, key.size() - 5 - suffix.size()));
    }
  }
  return names;
}

std::vector<Named> arguments(const std::string& argument, std::vector<Named> extra) {
  for (const std::string& name : call_names()) extra.push_back({name, fixture("call." + name + "." + argument)});
  return extra;
}

TEST(CheckedSth, DecidesEveryPairAsTheWholeCallDoes) {
  const std::vector<Named> leaves = arguments("leaf_bytes", {{"empty", {}}, {"not_cbor", {0xff}}, {"empty_map", {0xa0}}});
  const std::vector<Named> proofs = arguments("proof_bytes", {{"empty", {}}, {"cut", {0x83, 0x01}}});
  struct Head {
    std::string name;
    ByteString sth, signature, key;
  };
  std::vector<Head> heads;
  for (const std::string& name : call_names()) {
    const auto arg = [&](const char* field) { return fixture("call." + name + "." + field); };
    heads.push_back({name, arg("sth_bytes"), arg("signature"), arg("ca_public_key")});
  }
  Head short_key = heads.front(), long_signature = heads.front();
  short_key.name = "short_key";
  short_key.key.pop_back();
  long_signature.name = "long_signature";
  long_signature.signature.push_back(0);
  heads.push_back(short_key);
  heads.push_back(long_signature);

  int verified = 0, late_sth_failures = 0;
  for (const Head& head : heads) {
    const auto checked = CheckedSth::check(head.sth, head.signature, head.key);
    for (const Named& leaf : leaves) {
      for (const Named& proof : proofs) {
        SCOPED_TRACE(head.name + " / leaf " + leaf.name + " / proof " + proof.name);
        const auto want = verify_inclusion(leaf.bytes, proof.bytes, head.sth, head.signature, head.key);
        if (!checked) {
          ASSERT_FALSE(want.has_value());
          EXPECT_EQ(checked.error(), want.error());
          continue;
        }
        const auto got = checked->verify(leaf.bytes, proof.bytes);
        ASSERT_EQ(got.has_value(), want.has_value());
        if (!got) {
          EXPECT_EQ(got.error(), want.error());
          late_sth_failures += std::holds_alternative<SthCheckFailed>(got.error()) ? 1 : 0;
          continue;
        }
        EXPECT_EQ(got->inclusion, *want);
        EXPECT_EQ(got->leaf, *leaf::decode_mtac_leaf(leaf.bytes));
        ++verified;
      }
    }
  }
  // The table reaches every kind of outcome, not only failures.
  EXPECT_GT(verified, 5);
  EXPECT_GT(late_sth_failures, 10);
}

// verify() runs on many threads at once against one checked STH; every thread must see the
// answers a single thread sees.
TEST(CheckedSth, GivesTheSameAnswersFromSeveralThreads) {
  const auto arg = [](const std::string& name, const char* field) { return fixture("call." + name + "." + field); };
  const auto checked = CheckedSth::check(arg("valid", "sth_bytes"), arg("valid", "signature"),
                                         arg("valid", "ca_public_key"));
  ASSERT_TRUE(checked.has_value());
  const std::vector<std::string> names = call_names();
  std::vector<std::string> want;
  for (const std::string& name : names) {
    auto got = checked->verify(arg(name, "leaf_bytes"), arg(name, "proof_bytes"));
    want.push_back(got ? std::to_string(got->inclusion.leaf_index) : message(got.error()));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 0; i < names.size(); ++i) {
          auto got = checked->verify(arg(names[i], "leaf_bytes"), arg(names[i], "proof_bytes"));
          mismatches[t] += (got ? std::to_string(got->inclusion.leaf_index) : message(got.error())) != want[i];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(mismatches.size(), 0));
}

}  // namespace
}  // namespace halyx
