// segment.hpp: a range of the log shown to hold exactly the given leaves, nothing hidden between
// them, under one checked STH, from the two inclusion proofs the log already serves for the range's
// first and last leaf; and, given an older STH, that the newer tree only appended to the older one.
//
//   auto checked = halyx::CheckedSth::check(sth, signature, ca_public_key);
//   if (!checked) return report(checked.error());
//   auto segment = halyx::SegmentVerifier::begin(*checked, first_proof, last_proof);
//   if (!segment) return report(segment.error());
//   for (ByteView record : records) if (auto ok = segment->add_leaf(record); !ok) return report(ok.error());
//   auto verified = segment->finish();        // only now may anything of the leaves be acted on
//
// Without a first proof the segment starts at leaf 0, and without a last proof it ends at the tree's
// last leaf, so the whole tree needs no proof at all. Memory stays O(log n) whatever the length: the
// leaves are folded into a compact range (merkle/compact_range.hpp) as they arrive.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include <halyx/bytes.hpp>
#include <halyx/checked_sth.hpp>
#include <halyx/merkle/compact_range.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/wire_decode_error.hpp>
#include <halyx/verification.hpp>

namespace halyx {

// Which of a segment's two proofs a failure is about.
enum class ProofEnd : std::uint8_t { First, Last };

// One alternative per way a segment can end unverified, roughly in the order the checks run.
struct SegmentSthFailed {  // the STH failed a check every leaf would meet, with its own text
  VerifyError error;
  bool operator==(const SegmentSthFailed&) const = default;
};
struct OlderSthFailed {  // the older STH failed its checks under the same key
  VerifyError error;
  bool operator==(const OlderSthFailed&) const = default;
};
struct OlderSthOtherLog {  // the older STH names another log than the newer one
  bool operator==(const OlderSthOtherLog&) const = default;
};
struct SegmentProofDecodeFailed {
  ProofEnd end;
  wire::WireDecodeError error;
  bool operator==(const SegmentProofDecodeFailed&) const = default;
};
struct ProofForOtherTree {  // the proof states another tree size than the STH's
  ProofEnd end;
  std::uint64_t proof_tree_size, tree_size;
  bool operator==(const ProofForOtherTree&) const = default;
};
struct ProofMisfit {  // the leaf is outside the tree, or the path is too long or short for it
  ProofEnd end;
  std::uint64_t leaf_index, tree_size;
  bool operator==(const ProofMisfit&) const = default;
};
struct ProofsOutOfOrder {
  std::uint64_t first, last;
  bool operator==(const ProofsOutOfOrder&) const = default;
};
struct OlderNotSmaller {
  std::uint64_t older_size, tree_size;
  bool operator==(const OlderNotSmaller&) const = default;
};
struct StartNotOlderSize {  // the segment does not start where the older tree ends
  std::uint64_t start, older_size;
  bool operator==(const StartNotOlderSize&) const = default;
};
struct NotAnExtension {  // the newer tree's first older_size leaves have another root: a fork
  std::uint64_t older_size;
  bool operator==(const NotAnExtension&) const = default;
};
struct SegmentLeafDecodeFailed {  // record `record` of the sequence, at byte `offset`
  std::uint64_t record, offset;
  leaf::LeafDecodeError error;
  bool operator==(const SegmentLeafDecodeFailed&) const = default;
};
struct NoLeaves {
  bool operator==(const NoLeaves&) const = default;
};
struct PastLastProof {  // one leaf more than the proofs allow
  std::uint64_t leaf_index, last;
  bool operator==(const PastLastProof&) const = default;
};
struct PastTree {
  std::uint64_t leaf_index, tree_size;
  bool operator==(const PastTree&) const = default;
};
struct ShortOfLastProof {  // the leaves ran out before the last proof's leaf
  std::uint64_t last_given, last;
  bool operator==(const ShortOfLastProof&) const = default;
};
struct ShortOfTree {  // no last proof, and the leaves ran out before the tree's last leaf
  std::uint64_t last_given, tree_size;
  bool operator==(const ShortOfTree&) const = default;
};
struct ProofLeafMismatch {  // the proof does not lead from the segment's leaf at its index
  ProofEnd end;
  std::uint64_t leaf_index;
  bool operator==(const ProofLeafMismatch&) const = default;
};
struct RangeOutOfPlace {  // leaves hashed apart were given out of their place in the segment
  std::uint64_t begin, next;
  bool operator==(const RangeOutOfPlace&) const = default;
};
struct SegmentRootMismatch {  // both proofs hold, but the leaves between them differ from the log's
  std::uint64_t first, last;
  bool operator==(const SegmentRootMismatch&) const = default;
};
using SegmentError =
    std::variant<SegmentSthFailed, OlderSthFailed, OlderSthOtherLog, SegmentProofDecodeFailed, ProofForOtherTree,
                 ProofMisfit, ProofsOutOfOrder, OlderNotSmaller, StartNotOlderSize, NotAnExtension,
                 SegmentLeafDecodeFailed, NoLeaves, PastLastProof, PastTree, ShortOfLastProof, ShortOfTree,
                 ProofLeafMismatch, RangeOutOfPlace, SegmentRootMismatch>;

// Returns the class of `e`: input that does not decode (or none) is a Verification error, input
// that decodes but does not prove the segment an InvalidProof error; an STH's own failure keeps
// its class.
[[nodiscard]] ErrorClass error_class(const SegmentError& e) noexcept;

// Returns the display text of `e`. The only place these texts are written; inner errors keep their
// own texts behind a prefix.
[[nodiscard]] std::string message(const SegmentError& e);

// What a verified segment reports: leaves [first, first + count) of the STH's tree are exactly the
// leaves given, in order; with an older STH, the STH's tree extends it by exactly these leaves.
struct VerifiedSegment {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::uint64_t tree_size = 0;
  std::uint64_t timestamp_ms = 0;
  std::optional<std::uint64_t> older_tree_size;
  bool operator==(const VerifiedSegment&) const = default;
};

// The record at the front of a sequence, by its leaf hash under a log, and the bytes it spans.
struct HashedRecord {
  Hash32 leaf_hash;
  std::size_t length;
};

// Returns the leaf hash under `log_id` of the record at the front of `records` (RFC 8742), decoded
// and re-serialised exactly as verify_inclusion does one leaf, and where the record ends. Errors:
// the record does not decode (decode_mtac_leaf_prefix). Throws std::bad_alloc only.
[[nodiscard]] std::expected<HashedRecord, leaf::LeafDecodeError> hash_next_record(ByteView records,
                                                                                  const Hash32& log_id);

// A segment being verified: fed leaves in log order, then asked for its verdict. Holds O(log n):
// the boundary hashes of the two proofs, the range's covering nodes and the first and last leaf
// hashes. After any error every later call returns that same error, so a failure cannot be lost.
class SegmentVerifier {
 public:
  // Returns a verifier for the segment under `sth` that starts at the first proof's leaf (leaf 0
  // without one) and ends at the last proof's leaf (the tree's last leaf without one); with
  // `older`, an STH checked under the same key, also that the segment starts at the older tree's
  // size and the STH's tree extends it. Errors, in this order: a proof that does not decode
  // (first, then last); the STH's failure after its decode; the older STH's failure; a proof for
  // another tree size or that does not fit its leaf; proofs out of order; an older STH of another
  // log, not smaller, or whose size is not the segment's start. Throws std::bad_alloc only.
  [[nodiscard]] static std::expected<SegmentVerifier, SegmentError> begin(const CheckedSth& sth,
                                                                          std::optional<ByteView> first_proof,
                                                                          std::optional<ByteView> last_proof,
                                                                          const CheckedSth* older = nullptr);

  // Adds the next leaf, one whole record. Errors: it does not decode, it is past the segment's
  // end, or (for the first leaf) the first proof does not lead from it or the tree is not an
  // extension of the older one.
  [[nodiscard]] std::expected<void, SegmentError> add_leaf(ByteView record);

  // Adds every record of `records`, a sequence of them back to back; each ends where its decode
  // ends. The errors of add_leaf, a decode failure naming the record's number and byte offset
  // counted over all records given so far.
  [[nodiscard]] std::expected<void, SegmentError> add_records(ByteView records);

  // Adds the next leaf by its hash, as hash_next_record gives it; `length` counts towards the
  // offsets later decode failures report.
  [[nodiscard]] std::expected<void, SegmentError> add_leaf_hash(const Hash32& leaf_hash, std::size_t length = 0);

  // Adds the next leaves by their hashes, in order: exactly as add_leaf_hash of each in turn, to the
  // first error, but with a run of leaves that fills an aligned subtree inside the segment joined as
  // that subtree's root, its nodes hashed four at a time.
  [[nodiscard]] std::expected<void, SegmentError> add_leaf_hashes(std::span<const Hash32> leaf_hashes);

  // Adds the leaves of `range`, hashed apart (on other threads or machines), by its covering
  // nodes and its first and last leaf hashes, which the proofs are checked against; `bytes` is what
  // the range's records span, for the offsets of later decode failures. The range must start at
  // next_index(). Errors: those of add_leaf_hash, and a range that starts elsewhere.
  [[nodiscard]] std::expected<void, SegmentError> add_range(const merkle::CompactRange& range,
                                                            const Hash32& first_leaf_hash,
                                                            const Hash32& last_leaf_hash, std::uint64_t bytes = 0);

  // Returns the verdict: the segment verified, or the first failure. Errors: the earlier failure;
  // no leaf; fewer leaves than the segment spans; the last proof does not lead from the last leaf;
  // the root from the proofs' outer hashes and the leaves is not the STH's.
  [[nodiscard]] std::expected<VerifiedSegment, SegmentError> finish();

  // The index the next leaf will have, and where the segment starts and ends (exclusive).
  [[nodiscard]] std::uint64_t next_index() const noexcept { return range_.end(); }
  [[nodiscard]] std::uint64_t first_index() const noexcept { return first_; }
  [[nodiscard]] std::uint64_t end_index() const noexcept { return end_; }
  // The log's id, for hashing leaves apart (hash_next_record).
  [[nodiscard]] const Hash32& log_id() const noexcept { return log_id_; }

 private:
  SegmentVerifier() = default;
  std::unexpected<SegmentError> fail(SegmentError e);
  std::expected<void, SegmentError> check_first_leaf(const Hash32& leaf_hash);

  Hash32 log_id_{}, root_{};
  std::uint64_t tree_size_ = 0, timestamp_ms_ = 0;
  std::uint64_t first_ = 0, end_ = 0;          // the segment: leaves [first_, end_)
  std::optional<wire::InclusionProof> first_proof_, last_proof_;
  std::array<Hash32, 64> after_{};             // the last proof's right siblings
  std::uint8_t after_count_ = 0;
  std::optional<std::uint64_t> older_size_;
  Hash32 older_root_{}, prefix_root_{};        // the older root, and the root of [0, first_) of the proof
  merkle::CompactRange range_;                 // [0, next_index()): the first proof's left side, then the leaves
  Hash32 last_leaf_{};
  std::uint64_t records_ = 0, bytes_ = 0;      // given so far, for decode failures
  std::optional<SegmentError> failure_;
};

}  // namespace halyx
