// A segment's verdict rests on one equation: the root computed from the first proof's left side,
// the segment's leaves and the last proof's right side is the STH's root. Each proof is also walked
// on its own from its leaf, so a proof that belongs to another leaf is named as such rather than
// reported as a segment that does not add up.
#include <halyx/segment.hpp>

#include <algorithm>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>

namespace halyx {

std::expected<HashedRecord, leaf::LeafDecodeError> hash_next_record(ByteView records, const Hash32& log_id) {
  // A record already in its canonical form is hashed as it stands; any other goes the long way,
  // which also gives every refusal its text.
  if (const auto view = leaf::read_canonical_leaf(records)) {
    return HashedRecord{merkle::leaf_hash_of_canonical(records.first(view->length), log_id), view->length};
  }
  auto decoded = leaf::decode_mtac_leaf_prefix(records);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return HashedRecord{merkle::leaf_hash(decoded->leaf, log_id), decoded->length};
}

std::expected<SegmentVerifier, SegmentError> SegmentVerifier::begin(const CheckedSth& sth,
                                                                    std::optional<ByteView> first_proof,
                                                                    std::optional<ByteView> last_proof,
                                                                    const CheckedSth* older) {
  using Result = std::expected<SegmentVerifier, SegmentError>;
  SegmentVerifier v;
  // The proofs decode first, as a single verification's proof does.
  for (const auto& [end, bytes, into] : {std::tuple{ProofEnd::First, first_proof, &v.first_proof_},
                                         std::tuple{ProofEnd::Last, last_proof, &v.last_proof_}}) {
    if (!bytes) continue;
    auto proof = wire::decode_inclusion_proof_v1(*bytes);
    if (!proof) return Result(std::unexpect, SegmentProofDecodeFailed{end, proof.error()});
    *into = std::move(*proof);
  }
  if (sth.later_failure()) return Result(std::unexpect, SegmentSthFailed{*sth.later_failure()});
  if (older && older->later_failure()) return Result(std::unexpect, OlderSthFailed{*older->later_failure()});

  v.log_id_ = sth.sth().log_id;
  v.root_ = sth.sth().root_hash;
  v.tree_size_ = sth.sth().tree_size;
  v.timestamp_ms_ = sth.sth().timestamp;
  v.end_ = v.tree_size_;

  // A proof belongs to the STH's tree only if it states its size: the segment's place is read from
  // the proofs, and a path that also fits another size would put the leaves elsewhere.
  std::optional<merkle::PathSides> first_sides;
  for (const auto& [end, proof] : {std::pair{ProofEnd::First, &v.first_proof_}, std::pair{ProofEnd::Last, &v.last_proof_}}) {
    if (!*proof) continue;
    const wire::InclusionProof& p = **proof;
    if (p.tree_size != v.tree_size_) return Result(std::unexpect, ProofForOtherTree{end, p.tree_size, v.tree_size_});
    auto sides = merkle::split_path(p.leaf_index, p.tree_size, p.inclusion_path);
    if (!sides) return Result(std::unexpect, ProofMisfit{end, p.leaf_index, p.tree_size});
    if (end == ProofEnd::First) {
      first_sides = sides;
    } else {
      v.after_ = sides->after;
      v.after_count_ = sides->after_count;
    }
  }
  if (v.first_proof_) v.first_ = v.first_proof_->leaf_index;
  if (v.last_proof_) v.end_ = v.last_proof_->leaf_index + 1;  // leaf_index < tree_size: no wrap
  if (v.first_proof_ && v.last_proof_ && v.first_ >= v.end_) {
    return Result(std::unexpect, ProofsOutOfOrder{v.first_, v.last_proof_->leaf_index});
  }
  if (first_sides) v.range_ = first_sides->before;
  v.prefix_root_ = merkle::root_of_prefix(v.range_);

  if (older) {
    if (older->sth().log_id != v.log_id_) return Result(std::unexpect, OlderSthOtherLog{});
    const std::uint64_t m = older->sth().tree_size;
    if (m >= v.tree_size_) return Result(std::unexpect, OlderNotSmaller{m, v.tree_size_});
    if (v.first_ != m) return Result(std::unexpect, StartNotOlderSize{v.first_, m});
    v.older_size_ = m;
    v.older_root_ = older->sth().root_hash;
  }
  return v;
}

std::unexpected<SegmentError> SegmentVerifier::fail(SegmentError e) {
  failure_ = e;
  return std::unexpected(std::move(e));
}

std::expected<void, SegmentError> SegmentVerifier::check_first_leaf(const Hash32& leaf_hash) {
  if (first_proof_ &&
      !merkle::verify_inclusion_path(leaf_hash, first_, tree_size_, first_proof_->inclusion_path, root_)) {
    return fail(ProofLeafMismatch{ProofEnd::First, first_});
  }
  // Only now are the first proof's left siblings known to be the STH tree's own: their fold is the
  // root of its first older_size leaves, which an extension of the older tree shares.
  if (older_size_ && prefix_root_ != older_root_) return fail(NotAnExtension{*older_size_});
  return {};
}

std::expected<void, SegmentError> SegmentVerifier::add_leaf_hash(const Hash32& leaf_hash, std::size_t length) {
  if (failure_) return std::unexpected(*failure_);
  const std::uint64_t index = range_.end();
  if (index >= end_) {
    if (last_proof_) return fail(PastLastProof{index, last_proof_->leaf_index});
    return fail(PastTree{index, tree_size_});
  }
  if (index == first_) {
    if (auto ok = check_first_leaf(leaf_hash); !ok) return ok;
  }
  if (!range_.append_leaf(leaf_hash)) return fail(PastTree{index, tree_size_});  // index < end_ <= 2^64 - 1
  last_leaf_ = leaf_hash;
  ++records_;
  bytes_ += length;
  return {};
}

std::expected<void, SegmentError> SegmentVerifier::add_leaf_hashes(std::span<const Hash32> leaf_hashes) {
  // Runs of at least 8 leaves: four nodes at once from the first level on.
  constexpr unsigned MIN_RUN_HEIGHT = 3;
  while (!leaf_hashes.empty()) {
    if (failure_) return std::unexpected(*failure_);
    const std::uint64_t index = range_.end();
    // The largest run that starts here, lies inside the segment and has its hashes given.
    const std::uint64_t room = index < end_ ? end_ - index : 0;
    unsigned height = 0;
    for (;;) {
      const std::uint64_t twice = std::uint64_t{2} << height;
      if (twice > merkle::MAX_SUBTREE_RUN || (index & (twice - 1)) != 0 || twice > leaf_hashes.size() || twice > room) {
        break;
      }
      ++height;
    }
    if (height < MIN_RUN_HEIGHT) {
      if (auto ok = add_leaf_hash(leaf_hashes.front()); !ok) return ok;
      leaf_hashes = leaf_hashes.subspan(1);
      continue;
    }
    // Every leaf of the run is before end_, so only the first leaf's check can refuse one, and the
    // subtree's root is what its leaves one at a time would have joined into.
    const std::size_t count = std::size_t{1} << height;
    if (index == first_) {
      if (auto ok = check_first_leaf(leaf_hashes.front()); !ok) return ok;
    }
    if (!range_.append(merkle::perfect_subtree_root(leaf_hashes.first(count)), height)) {
      return fail(PastTree{index, tree_size_});  // cannot happen: index + count <= end_
    }
    last_leaf_ = leaf_hashes[count - 1];
    records_ += count;
    leaf_hashes = leaf_hashes.subspan(count);
  }
  return {};
}

std::expected<void, SegmentError> SegmentVerifier::add_leaf(ByteView record) {
  if (failure_) return std::unexpected(*failure_);
  auto hash = merkle::leaf_hash_of_record(record, log_id_);
  if (!hash) return fail(SegmentLeafDecodeFailed{records_, bytes_, std::move(hash.error())});
  return add_leaf_hash(*hash, record.size());
}

std::expected<void, SegmentError> SegmentVerifier::add_records(ByteView records) {
  while (!records.empty()) {
    if (failure_) return std::unexpected(*failure_);
    auto hashed = hash_next_record(records, log_id_);
    if (!hashed) return fail(SegmentLeafDecodeFailed{records_, bytes_, std::move(hashed.error())});
    if (auto ok = add_leaf_hash(hashed->leaf_hash, hashed->length); !ok) return ok;
    records = records.subspan(hashed->length);
  }
  return {};
}

std::expected<void, SegmentError> SegmentVerifier::add_range(const merkle::CompactRange& range,
                                                             const Hash32& first_leaf_hash,
                                                             const Hash32& last_leaf_hash, std::uint64_t bytes) {
  if (failure_) return std::unexpected(*failure_);
  if (range.empty()) return {};
  const std::uint64_t index = range_.end();
  if (range.begin() != index) return fail(RangeOutOfPlace{range.begin(), index});
  if (end_ <= index) return add_leaf_hash(first_leaf_hash);  // refused there as past the end
  // As if the leaves had come one at a time: the first leaf is checked, then the first leaf past
  // the end is the one refused.
  if (index == first_) {
    if (auto ok = check_first_leaf(first_leaf_hash); !ok) return ok;
  }
  if (range.end() > end_) {
    if (last_proof_) return fail(PastLastProof{end_, last_proof_->leaf_index});
    return fail(PastTree{end_, tree_size_});
  }
  if (!range_.append(range)) return fail(RangeOutOfPlace{range.begin(), index});
  last_leaf_ = last_leaf_hash;
  records_ += range.end() - range.begin();
  bytes_ += bytes;
  return {};
}

std::expected<VerifiedSegment, SegmentError> SegmentVerifier::finish() {
  if (failure_) return std::unexpected(*failure_);
  const std::uint64_t next = range_.end();
  if (next == first_) return fail(NoLeaves{});
  if (next < end_) {
    if (last_proof_) return fail(ShortOfLastProof{next - 1, last_proof_->leaf_index});
    return fail(ShortOfTree{next - 1, tree_size_});
  }
  const std::uint64_t last = next - 1;
  if (last_proof_ &&
      !merkle::verify_inclusion_path(last_leaf_, last, tree_size_, last_proof_->inclusion_path, root_)) {
    return fail(ProofLeafMismatch{ProofEnd::Last, last});
  }
  const auto root = merkle::root_from_sides(range_, std::span<const Hash32>(after_.data(), after_count_), tree_size_);
  if (!root || *root != root_) return fail(SegmentRootMismatch{first_, last});
  return VerifiedSegment{first_, next - first_, tree_size_, timestamp_ms_, older_size_};
}

}  // namespace halyx
