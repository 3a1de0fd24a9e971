// The order of one verification, top to bottom. A single call (verify_inclusion) and a batch under
// one STH (check(), then verify() for each leaf) share the steps up to the STH's decode and the
// checks after the decodes, and report in the same order:
//
//   1 the ML-DSA-65 handle, 2 the key's length, 3 the signature's length, 4 the signature over the
//   caller's exact STH bytes, 5 the STH's decode; 6 the proof's decode, 7 the leaf's decode; 8 the
//   log id and the signature over the STH's re-encoding (decided only where it differs from the
//   caller's bytes); 9 the inclusion walk.
//
// A proof or leaf that does not decode is reported even when the STH names another log. check()
// decides 8 once and keeps its failure, which each verify() reports in its place.
#include <halyx/verification.hpp>

#include <utility>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include "sth_steps.hpp"

namespace halyx {

// The single call needs no decoded leaf: a leaf in its canonical form is hashed as it stands, and the
// key's log id is taken beside the walk's node hashes, whose chain leaves the SHA instructions time
// for a second one. Its answers are those of check() and verify().
std::expected<VerifiedInclusion, VerifyError> verify_inclusion(ByteView leaf_bytes, ByteView proof_bytes,
                                                               ByteView sth_bytes, ByteView signature,
                                                               ByteView ca_public_key) {
  using Result = std::expected<VerifiedInclusion, VerifyError>;
  return detail::check_then<VerifiedInclusion>(
      sth_bytes, signature, ca_public_key,
      [&](const wire::SignedTreeHead& sth, const signing::PreparedSignature& prepared) -> Result {
        const auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
        if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
        auto leaf_hash = merkle::leaf_hash_of_record(leaf_bytes, sth.log_id);
        if (!leaf_hash) return std::unexpected(LeafDecodeFailed{std::move(leaf_hash.error())});

        digest::Sha256Beside key_digest(ca_public_key);
        const bool included = merkle::verify_leaf_hash_in_tree(*leaf_hash, *proof, sth, key_digest);
        if (auto failure = detail::failure_after_decodes(sth, prepared, key_digest.finish(), sth_bytes)) {
          return std::unexpected(*failure);
        }
        if (!included) return std::unexpected(InclusionFailed{});
        return VerifiedInclusion{proof->leaf_index, sth.tree_size, sth.timestamp};
      });
}

}  // namespace halyx
