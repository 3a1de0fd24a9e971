// CheckedSth: the steps of a single call up to the STH's decode, once, and the checks after the
// decodes kept for each leaf to report in its place (the order is in verification.cpp).
#include <halyx/checked_sth.hpp>

#include <utility>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include "sth_steps.hpp"

namespace halyx {

std::expected<CheckedSth, VerifyError> CheckedSth::check(ByteView sth_bytes, ByteView signature,
                                                         ByteView ca_public_key) {
  return detail::check_then<CheckedSth>(
      sth_bytes, signature, ca_public_key,
      [&](wire::SignedTreeHead sth,
          const signing::PreparedSignature& prepared) -> std::expected<CheckedSth, VerifyError> {
        auto failure = detail::failure_after_decodes(sth, prepared, signing::derive_log_id(ca_public_key), sth_bytes);
        return CheckedSth(std::move(sth), failure);
      });
}

std::expected<VerifiedLeaf, VerifyError> CheckedSth::verify(ByteView leaf_bytes, ByteView proof_bytes) const {
  // The proof first: a call with both malformed reports the proof.
  auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  // The leaf's hash by the single call's route, its fields read on the way.
  leaf::MtacLeaf leaf;
  const auto leaf_hash = merkle::leaf_hash_of_record(leaf_bytes, sth_.log_id, &leaf);
  if (!leaf_hash) return std::unexpected(LeafDecodeFailed{leaf_hash.error()});

  if (failure_) return std::unexpected(*failure_);
  if (!merkle::verify_leaf_hash_in_tree(*leaf_hash, *proof, sth_)) return std::unexpected(InclusionFailed{});
  return VerifiedLeaf{{proof->leaf_index, sth_.tree_size, sth_.timestamp}, std::move(leaf)};
}

}  // namespace halyx
