// Tests of the inclusion proof decoder: examples, refusals with their messages, generated proofs in
// shortest and longer forms, and truncation at every offset.
#include <halyx/serialization/inclusion_proof.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <initializer_list>
#include <random>
#include <string>

#include "wire_builder.hpp"

namespace halyx::wire {
namespace {

using testing::HeadForm;
using testing::WireBuilder;

ByteString cat(std::initializer_list<ByteString> parts) {
  ByteString out;
  for (const ByteString& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
ByteString filled(std::size_t n, std::uint8_t v) { return ByteString(n, v); }

TEST(DecodeInclusionProofAccepts, OneHashAndAnEmptyPath) {
  auto one = decode_inclusion_proof_v1(cat({{0x83, 0x02, 0x01, 0x81, 0x58, 0x20}, filled(32, 0xAB)}));
  ASSERT_TRUE(one.has_value()) << message(one.error());
  Hash32 h{};
  h.fill(0xAB);
  EXPECT_EQ(*one, (InclusionProof{2, 1, {h}}));

  auto empty = decode_inclusion_proof_v1(ByteString{0x83, 0x01, 0x00, 0x80});
  ASSERT_TRUE(empty.has_value()) << message(empty.error());
  EXPECT_EQ(*empty, (InclusionProof{1, 0, {}}));

  // Fields are not related to each other here; the walk refuses what does not fit.
  auto outside = decode_inclusion_proof_v1(ByteString{0x83, 0x03, 0x05, 0x80});
  ASSERT_TRUE(outside.has_value()) << message(outside.error());
  EXPECT_EQ(*outside, (InclusionProof{3, 5, {}}));
}

struct RefuseCase {
  const char* name;
  ByteString input;
  const char* want;
};
void PrintTo(const RefuseCase& c, std::ostream* os) { *os << c.name; }

class DecodeInclusionProofRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(DecodeInclusionProofRefuses, WithExactMessage) {
  auto got = decode_inclusion_proof_v1(GetParam().input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(message(got.error()), GetParam().want);
}

const ByteString EIGHT_FF{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    InclusionProof, DecodeInclusionProofRefuses,
    ::testing::Values(
        RefuseCase{"empty", {}, "unexpected end of input at offset 0 while reading inclusion proof array(3)"},
        RefuseCase{"array_of_2", {0x82, 0x01, 0x00},
                   "expected array length 3 at offset 0, got 2 (while reading inclusion proof array(3))"},
        RefuseCase{"map", {0xA3}, "expected CBOR major type 4 at offset 0, got 5 (while reading inclusion proof array(3))"},
        RefuseCase{"tree_size_as_tag", {0x83, 0xC2, 0x41, 0x01, 0x00, 0x80},
                   "expected CBOR major type 0 at offset 1, got 6 (while reading tree_size)"},
        RefuseCase{"negative_leaf_index", {0x83, 0x01, 0x20, 0x80},
                   "expected CBOR major type 0 at offset 2, got 1 (while reading leaf_index)"},
        RefuseCase{"leaf_index_reserved_info", {0x83, 0x19, 0x01, 0x00, 0x1C, 0x80},
                   "invalid CBOR argument info 28 at offset 4 (while reading leaf_index)"},
        RefuseCase{"indefinite_path", {0x83, 0x01, 0x00, 0x9F, 0xFF},
                   "invalid CBOR argument info 31 at offset 3 (while reading inclusion_path array)"},
        RefuseCase{"hash_of_31", cat({{0x83, 0x01, 0x00, 0x81, 0x58, 0x1F}, filled(31, 0)}),
                   "expected bstr length 32 at offset 4, got 31 (while reading inclusion_path bstr(32))"},
        RefuseCase{"hash_as_text", cat({{0x83, 0x01, 0x00, 0x81, 0x78, 0x20}, filled(32, 0x61)}),
                   "expected CBOR major type 2 at offset 4, got 3 (while reading inclusion_path bstr(32))"},
        RefuseCase{"two_announced_one_present", cat({{0x83, 0x01, 0x00, 0x82, 0x58, 0x20}, filled(32, 0)}),
                   "unexpected end of input at offset 38 while reading inclusion_path bstr(32)"},
        RefuseCase{"hash_content_cut", cat({{0x83, 0x01, 0x00, 0x81, 0x58, 0x20}, filled(31, 0)}),
                   "unexpected end of input at offset 6 while reading inclusion_path bstr(32)"},
        RefuseCase{"path_count_max", cat({{0x83, 0x01, 0x00, 0x9B}, EIGHT_FF, {0x58, 0x20}, filled(32, 0)}),
                   "unexpected end of input at offset 46 while reading inclusion_path bstr(32)"},
        RefuseCase{"byte_after_the_proof", cat({{0x83, 0x02, 0x01, 0x81, 0x58, 0x20}, filled(32, 0), {0x00}}),
                   "trailing garbage: 1 bytes remain after decode"},
        RefuseCase{"two_proofs", {0x83, 0x01, 0x00, 0x80, 0x83, 0x01, 0x00, 0x80},
                   "trailing garbage: 4 bytes remain after decode"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A proof written by the independent builder, each head possibly longer than needed.
WireBuilder build_proof(const InclusionProof& p, std::mt19937_64& rng, unsigned widen_percent) {
  auto form = [&] {
    if (rng() % 100 >= widen_percent) return HeadForm::Shortest;
    return static_cast<HeadForm>(1 + rng() % 4);
  };
  WireBuilder b;
  b.head(4, 3, "inclusion proof array(3)", form());
  b.head(0, p.tree_size, "tree_size", form());
  b.head(0, p.leaf_index, "leaf_index", form());
  b.head(4, p.inclusion_path.size(), "inclusion_path array", form());
  for (const Hash32& h : p.inclusion_path) {
    b.head(2, 32, "inclusion_path bstr(32)", form());
    b.content(h, "inclusion_path bstr(32)");
  }
  return b;
}

InclusionProof any_proof(std::mt19937_64& rng) {
  InclusionProof p;
  const unsigned bits = static_cast<unsigned>(rng() % 65);  // 0..64 significant bits
  p.tree_size = bits == 0 ? 0 : rng() >> (64 - bits);
  p.leaf_index = p.tree_size == 0 ? rng() % 3 : rng() % p.tree_size;
  p.inclusion_path.resize(rng() % 70);
  for (Hash32& h : p.inclusion_path) {
    for (auto& b : h) b = static_cast<std::uint8_t>(rng());
  }
  return p;
}

TEST(DecodeInclusionProofAccepts, GeneratedProofsInShortestAndLongerForms) {
  std::mt19937_64 rng(0x9A7'4F00);
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE("proof " + std::to_string(i));
    const InclusionProof p = any_proof(rng);
    const WireBuilder b = build_proof(p, rng, i % 2 == 0 ? 0u : 20u);
    auto got = decode_inclusion_proof_v1(b.bytes);
    ASSERT_TRUE(got.has_value()) << message(got.error());
    EXPECT_EQ(*got, p);
  }
}

// Cutting a proof anywhere fails at the start of the read that the cut falls in: the head byte, the
// argument bytes of a long head, or the 32 bytes of a hash.
TEST(DecodeInclusionProofTruncated, AtEveryOffset) {
  std::mt19937_64 rng(0x7C07'0FF5);
  for (int i = 0; i < 16; ++i) {
    const InclusionProof p = any_proof(rng);
    const WireBuilder b = build_proof(p, rng, i < 4 ? 0u : 30u);
    for (std::size_t cut = 0; cut < b.bytes.size(); ++cut) {
      SCOPED_TRACE("proof " + std::to_string(i) + ", cut at " + std::to_string(cut));
      auto got = decode_inclusion_proof_v1(ByteView(b.bytes).first(cut));
      ASSERT_FALSE(got.has_value());
      const auto& seg = b.segment_at(cut);
      ASSERT_EQ(got.error(), WireDecodeError(UnexpectedEnd{seg.begin, seg.what})) << message(got.error());
    }
  }
}

}  // namespace
}  // namespace halyx::wire
