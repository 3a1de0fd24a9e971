// The segment verifier against the recursive definition of the tree hash: every segment of every
// tree of up to 64 leaves, every older size below every newer one, and a table of refusals over
// real leaf records, each with its exact message.
#include <halyx/segment.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include "segment_log.hpp"

namespace halyx {
namespace {

using test::definition_path;
using test::encode_proof;

constexpr std::uint64_t MAX_SIZE = 64;

// Synthetic leaf hashes, distinct per index and per history: `fork` changes every leaf from `at`.
std::vector<Hash32> leaf_hashes(std::uint64_t n, std::uint64_t fork_at = MAX_SIZE + 1) {
  std::vector<Hash32> out;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >= fork_at)};
    out.push_back(digest::sha256(ByteView(b, 2)));
  }
  return out;
}

const test::SegmentSigner& signer() {
  static const test::SegmentSigner s;
  return s;
}

// The STH of every size 0 to MAX_SIZE over leaf_hashes(MAX_SIZE), checked once.
const std::vector<CheckedSth>& heads() {
  static const std::vector<CheckedSth> all = [] {
    std::vector<CheckedSth> out;
    const std::vector<Hash32> leaves = leaf_hashes(MAX_SIZE);
    for (std::uint64_t n = 0; n <= MAX_SIZE; ++n) out.push_back(signer().checked(leaves, n));
    return out;
  }();
  return all;
}

ByteString proof_of(const std::vector<Hash32>& leaves, std::uint64_t n, std::uint64_t m) {
  return encode_proof(n, m, definition_path(leaves, m, 0, n));
}

// Feeds leaves [first, last] by hash, or in two ranges hashed apart when `split` lies inside.
std::expected<VerifiedSegment, SegmentError> run(SegmentVerifier v, const std::vector<Hash32>& leaves,
                                                 std::uint64_t first, std::uint64_t last, std::uint64_t split = 0) {
  if (split <= first || split > last) {
    for (std::uint64_t i = first; i <= last; ++i) {
      if (auto ok = v.add_leaf_hash(leaves[i]); !ok) return std::unexpected(ok.error());
    }
    return v.finish();
  }
  for (const auto& [b, e] : {std::pair{first, split}, std::pair{split, last + 1}}) {
    merkle::CompactRange part(b);
    for (std::uint64_t i = b; i < e; ++i) EXPECT_TRUE(part.append_leaf(leaves[i]));
    if (auto ok = v.add_range(part, leaves[b], leaves[e - 1]); !ok) return std::unexpected(ok.error());
  }
  return v.finish();
}

// Feeds leaves [first, last] by hash in chunks of `chunk`, through add_leaf_hashes.
std::expected<VerifiedSegment, SegmentError> run_in_runs(SegmentVerifier v, const std::vector<Hash32>& leaves,
                                                         std::uint64_t first, std::uint64_t last, std::size_t chunk) {
  for (std::uint64_t i = first; i <= last; i += chunk) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, last + 1 - i));
    if (auto ok = v.add_leaf_hashes(std::span(leaves).subspan(static_cast<std::size_t>(i), n)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  return v.finish();
}

TEST(SegmentVerifier, AcceptsEverySegmentOfEveryTreeUpTo64) {
  const std::vector<Hash32> leaves = leaf_hashes(MAX_SIZE);
  for (std::uint64_t n = 1; n <= MAX_SIZE; ++n) {
    for (std::uint64_t first = 0; first < n; ++first) {
      const ByteString first_proof = proof_of(leaves, n, first);
      for (std::uint64_t last = first; last < n; ++last) {
        SCOPED_TRACE(std::to_string(n) + ":" + std::to_string(first) + "-" + std::to_string(last));
        const ByteString last_proof = proof_of(leaves, n, last);
        const VerifiedSegment want{first, last - first + 1, n, 1000 + n, std::nullopt};
        // With both proofs; a range split in two (the second half starting anywhere); and without
        // the proofs the ends of the tree make unnecessary.
        auto v = SegmentVerifier::begin(heads()[n], first_proof, last_proof);
        ASSERT_TRUE(v.has_value()) << message(v.error());
        EXPECT_EQ(run(*v, leaves, first, last), want);
        EXPECT_EQ(run(*v, leaves, first, last, (first + last + 1) / 2), want);
        // In runs: all at once (aligned subtrees joined whole), and in chunks that cut them.
        EXPECT_EQ(run_in_runs(*v, leaves, first, last, MAX_SIZE), want);
        EXPECT_EQ(run_in_runs(*v, leaves, first, last, 13), want);
        if (last + 1 < n) {  // one leaf too many is refused as when added alone
          const SegmentError past{PastLastProof{last + 1, last}};
          EXPECT_EQ(run_in_runs(*v, leaves, first, last + 1, MAX_SIZE).error(), past);
        }
        std::optional<ByteView> f, l;
        if (first != 0) f = first_proof;
        if (last != n - 1) l = last_proof;
        EXPECT_EQ(run(*SegmentVerifier::begin(heads()[n], f, l), leaves, first, last), want);

        // One leaf changed anywhere in the segment is refused: at the ends by the proof of that
        // end, inside by the segment's root.
        std::vector<Hash32> changed = leaves;
        const std::uint64_t at = (first * 7 + last * 3 + n) % (last - first + 1) + first;
        changed[at][0] ^= 1;
        auto refused = run(*v, changed, first, last);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(run_in_runs(*v, changed, first, last, MAX_SIZE), refused);
        const SegmentError want_error = at == first   ? SegmentError{ProofLeafMismatch{ProofEnd::First, first}}
                                        : at == last ? SegmentError{ProofLeafMismatch{ProofEnd::Last, last}}
                                                     : SegmentError{SegmentRootMismatch{first, last}};
        EXPECT_EQ(refused.error(), want_error);
      }
    }
  }
}

TEST(SegmentVerifier, OneLeafAnswersAsTheInclusionWalk) {
  // Every proof of every tree, and each with its first path element flipped: a one-leaf segment
  // with that proof at both ends verifies exactly when the walk does.
  const std::vector<Hash32> leaves = leaf_hashes(MAX_SIZE);
  for (std::uint64_t n = 1; n <= MAX_SIZE; ++n) {
    const Hash32& root = heads()[n].sth().root_hash;
    for (std::uint64_t m = 0; m < n; ++m) {
      for (const bool flip : {false, true}) {
        std::vector<Hash32> path = definition_path(leaves, m, 0, n);
        if (flip && !path.empty()) path[0][31] ^= 0x80;
        const ByteString proof = encode_proof(n, m, path);
        const bool walk = merkle::verify_inclusion_path(leaves[m], m, n, path, root);
        auto v = SegmentVerifier::begin(heads()[n], proof, proof);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(run(*v, leaves, m, m).has_value(), walk) << n << ":" << m << " flip " << flip;
      }
    }
  }
}

TEST(SegmentVerifier, AppendOnlyFromTheFirstProofForEveryOlderSize) {
  const std::vector<Hash32> leaves = leaf_hashes(MAX_SIZE);
  for (std::uint64_t n = 1; n <= MAX_SIZE; ++n) {
    for (std::uint64_t m = 0; m < n; ++m) {
      SCOPED_TRACE(std::to_string(m) + " < " + std::to_string(n));
      const ByteString first_proof = proof_of(leaves, n, m);
      const std::optional<ByteView> first = m == 0 ? std::nullopt : std::optional<ByteView>(first_proof);
      auto v = SegmentVerifier::begin(heads()[n], first, std::nullopt, &heads()[m]);
      ASSERT_TRUE(v.has_value()) << message(v.error());
      EXPECT_EQ(run(*v, leaves, m, n - 1), (VerifiedSegment{m, n - m, n, 1000 + n, m}));
      if (m == 0) continue;

      // A fork: an older tree of the same size whose last leaf differs, signed by the same key.
      const CheckedSth forked = signer().checked(leaf_hashes(MAX_SIZE, m - 1), m);
      auto on_fork = SegmentVerifier::begin(heads()[n], first, std::nullopt, &forked);
      ASSERT_TRUE(on_fork.has_value());
      EXPECT_EQ(run(*on_fork, leaves, m, n - 1).error(), SegmentError{NotAnExtension{m}});
      EXPECT_EQ(run_in_runs(*on_fork, leaves, m, n - 1, MAX_SIZE).error(), SegmentError{NotAnExtension{m}});
      // The older size one leaf before or after the segment's start.
      for (const std::uint64_t other : {m - 1, m + 1}) {
        if (other >= n) continue;
        const SegmentError want{StartNotOlderSize{m, other}};
        EXPECT_EQ(SegmentVerifier::begin(heads()[n], first, std::nullopt, &heads()[other]).error(), want);
      }
    }
  }
}

// Real leaf records, for the refusals a monitor meets: records 0 to 7 of an 8-leaf tree.
struct RecordLog {
  std::vector<ByteString> records;
  std::vector<Hash32> hashes;
  RecordLog() {
    for (int i = 0; i < 8; ++i) {
      leaf::MtacLeaf l{1, "agent-" + std::to_string(i), "sponsor-" + std::to_string(i % 3), {"read", "write"},
                       1700000000 + static_cast<std::uint64_t>(i), 1800000000};
      records.push_back(leaf::serialize_canonical(l));
      hashes.push_back(merkle::leaf_hash(l, signer().log_id()));
    }
  }
};

ByteString cat(const std::vector<ByteString>& parts) {
  ByteString out;
  for (const ByteString& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct SegmentCase {
  const char* name;
  std::uint64_t first, last;  // the proofs' leaves; a value of 8 or more means no proof
  std::vector<ByteString> records;
  std::string want;  // the message; empty when the segment verifies
  std::optional<std::uint64_t> older = std::nullopt;
  bool fork = false, old_last_proof = false, swap_proofs = false;
};

TEST(SegmentVerifierRefuses, EachDamageWithItsOwnMessage) {
  const RecordLog log;
  const std::vector<ByteString>& r = log.records;
  const auto span = [&](std::ptrdiff_t b, std::ptrdiff_t e) {
    return std::vector<ByteString>(r.begin() + b, r.begin() + e);
  };
  const auto with = [](std::vector<ByteString> v, std::size_t at, ByteString x) {
    v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), std::move(x));
    return v;
  };
  const auto without = [](std::vector<ByteString> v, std::size_t at) {
    v.erase(v.begin() + static_cast<std::ptrdiff_t>(at));
    return v;
  };
  std::vector<ByteString> swapped = span(2, 6);
  std::swap(swapped[1], swapped[2]);
  std::vector<ByteString> one_byte = span(2, 6);
  one_byte[1][one_byte[1].size() - 1] ^= 1;  // the last scope's last letter
  std::vector<ByteString> long_head = span(2, 6);
  long_head[1].insert(long_head[1].begin() + 1, long_head[1][0]);
  long_head[1][0] = 0xb8;  // the map's count in a one-byte argument: a longer head than needed
  long_head[1][1] = 6;
  std::vector<ByteString> cut = span(2, 6);
  cut[3].pop_back();
  const std::uint64_t no = 8;

  const std::vector<SegmentCase> cases = {
      {"verifies", 2, 5, span(2, 6), ""},
      {"whole_tree_without_proofs", no, no, span(0, 8), ""},
      {"two_adjacent_swapped", 2, 5, swapped, "leaves 2 to 5 do not lead to the STH's root"},
      {"one_dropped", 2, 5, without(span(2, 6), 2), "segment ends at leaf 4, before the last proof's leaf 5"},
      {"one_inserted", 2, 5, with(span(2, 6), 2, r[7]), "leaf 6 is past the last proof's leaf 5"},
      {"one_repeated", 2, 5, with(span(2, 6), 2, r[3]), "leaf 6 is past the last proof's leaf 5"},
      {"one_byte_changed", 2, 5, one_byte, "leaves 2 to 5 do not lead to the STH's root"},
      {"non_canonical_head", 2, 5, long_head,
       "record 1 at byte offset " + std::to_string(r[2].size()) +
           ": leaf decode failed: CBOR decode error: a CBOR numeric value was encoded in non-canonical form"},
      {"first_proof_for_the_neighbour", 3, 5, span(2, 6), "first proof does not lead from leaf 3 to the STH's root"},
      {"last_proof_from_an_older_tree", 2, 5, span(2, 6), "last proof is for a tree of 7 leaves, not the STH's tree of 8",
       std::nullopt, false, true},
      {"proofs_swapped", 2, 5, span(2, 6), "first proof's leaf 5 comes after the last proof's leaf 2", std::nullopt,
       false, false, true},
      {"runs_past_the_tree", 6, no, with(span(6, 8), 2, r[0]), "leaf 8 is past the end of the STH's tree of 8 leaves"},
      {"stops_short_of_the_tree", 6, no, span(6, 7), "segment ends at leaf 6, before the last leaf of the STH's tree of 8 leaves"},
      {"appends_to_the_older", 5, no, span(5, 8), "", 5},
      {"older_forked", 5, no, span(5, 8), "the STH's tree does not extend the older STH's tree of 5 leaves", 5, true},
      {"older_size_differs", 4, no, span(4, 8), "segment starts at leaf 4, not at the older STH's tree size 5", 5},
      {"older_not_smaller", no, no, span(0, 8), "older STH's tree of 8 leaves is not smaller than the STH's tree of 8", 8},
      {"empty", 2, 5, {}, "segment holds no leaf records"},
      {"garbage_between_two_records", 2, 5, with(span(2, 6), 2, {0xff}),
       "record 2 at byte offset " + std::to_string(r[2].size() + r[3].size()) +
           ": leaf decode failed: CBOR decode error: unsupported value in CBOR header"},
      {"truncated_last_record", 2, 5, cut,
       "record 3 at byte offset " + std::to_string(r[2].size() + r[3].size() + r[4].size()) +
           ": leaf decode failed: CBOR decode error: early end of CBOR data"},
  };
  const std::vector<Hash32> forked_hashes = [&] {
    std::vector<Hash32> h = log.hashes;
    h[4][0] ^= 1;
    return h;
  }();
  for (const SegmentCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CheckedSth sth = signer().checked(log.hashes, 8);
    ByteString first_proof = proof_of(log.hashes, 8, c.first % 8);
    ByteString last_proof = c.old_last_proof ? proof_of(log.hashes, 7, c.last) : proof_of(log.hashes, 8, c.last % 8);
    if (c.swap_proofs) std::swap(first_proof, last_proof);
    const std::optional<ByteView> f = c.first < no ? std::optional<ByteView>(first_proof) : std::nullopt;
    const std::optional<ByteView> l = c.last < no ? std::optional<ByteView>(last_proof) : std::nullopt;
    std::optional<CheckedSth> older;
    if (c.older) older = signer().checked(c.fork ? forked_hashes : log.hashes, *c.older);
    auto v = SegmentVerifier::begin(sth, f, l, older ? &*older : nullptr);
    std::expected<VerifiedSegment, SegmentError> got = v ? std::expected<VerifiedSegment, SegmentError>() : std::unexpected(v.error());
    if (v) {
      const ByteString sequence = cat(c.records);
      auto added = v->add_records(sequence);
      got = added ? v->finish() : std::unexpected(added.error());
      // Whatever went wrong stays wrong: the verdict repeats the first failure.
      if (!added) {
        EXPECT_EQ(v->finish().error(), added.error());
      }
    }
    if (c.want.empty()) {
      EXPECT_TRUE(got.has_value()) << message(got.error());
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(message(got.error()), c.want);
    }
  }
}

TEST(SegmentVerifier, OneRecordAnswersAsVerifyInclusion) {
  const RecordLog log;
  const test::SegmentSigner::Signed head = signer().sign(log.hashes, 8);
  const CheckedSth sth = signer().checked(log.hashes, 8);
  for (std::uint64_t m = 0; m < 8; ++m) {
    const ByteString proof = proof_of(log.hashes, 8, m);
    for (std::uint64_t record = 0; record < 8; ++record) {
      auto single = verify_inclusion(log.records[record], proof, head.sth, head.signature, signer().public_key());
      auto v = SegmentVerifier::begin(sth, proof, proof);
      ASSERT_TRUE(v.has_value());
      std::expected<VerifiedSegment, SegmentError> verdict = std::unexpected(SegmentError{NoLeaves{}});
      if (v->add_leaf(log.records[record])) verdict = v->finish();
      ASSERT_EQ(verdict.has_value(), single.has_value()) << m << " " << record;
      if (single) {
        EXPECT_EQ((std::pair{verdict->first, verdict->tree_size}), (std::pair{single->leaf_index, single->tree_size}));
      }
    }
  }
}

TEST(CompactRange, JoinsOnlyAlignedNeighbours) {
  // 1.1 cannot join 1.2 (they are children of different nodes), 0.7 can join 0.6 after it.
  merkle::CompactRange r(2);
  const Hash32 h{};
  EXPECT_FALSE(r.append(h, 2));  // leaf 2 is no start of a four-leaf subtree
  EXPECT_TRUE(r.append(h, 1));
  EXPECT_TRUE(r.append(h, 1));
  EXPECT_EQ(r.nodes().size(), 2u);
  EXPECT_FALSE(r.subtree_root().has_value());
  EXPECT_TRUE(r.append_leaf(h));
  EXPECT_TRUE(r.append_leaf(h));
  EXPECT_EQ(r.nodes().size(), 2u);  // 1.1 and 2.1
  EXPECT_EQ(r.end(), 8u);
  merkle::CompactRange aligned(8);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(aligned.append_leaf(h));
  EXPECT_TRUE(aligned.subtree_root().has_value());
  EXPECT_TRUE(r.append(aligned));
  EXPECT_FALSE(r.append(aligned));  // it no longer starts where r ends
  merkle::CompactRange top(UINT64_MAX - 1);
  EXPECT_TRUE(top.append_leaf(h));
  EXPECT_FALSE(top.append_leaf(h));  // a range ends at leaf 2^64 - 1 at the latest
}

}  // namespace
}  // namespace halyx
