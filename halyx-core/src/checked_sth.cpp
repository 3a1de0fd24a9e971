#include <halyx/checked_sth.hpp>

#include <halyx/merkle/step_verify.hpp>
#include <halyx/verification_stages.hpp>

namespace halyx {

std::expected<CheckedSth, VerifyError> CheckedSth::check(ByteView sth_bytes, ByteView signature,
                                                         ByteView ca_public_key) {
  return stages::with_checked_sth<CheckedSth>(
      sth_bytes, signature, ca_public_key,
      [](const signing::PreparedSignature& prepared, signing::CaPublicKey key,
         wire::SignedTreeHead& sth) -> std::expected<CheckedSth, VerifyError> {
        // A single call runs this check after the leaf's decode, so its failure is kept, not
        // returned: a leaf or proof that does not decode is reported before it.
        std::optional<SthCheckFailed> failure;
        if (auto ok = signing::verify_sth_signature(sth, prepared, key); !ok) failure = SthCheckFailed{ok.error()};
        return CheckedSth(std::move(sth), failure);
      });
}

std::expected<VerifiedLeaf, VerifyError> CheckedSth::verify(ByteView leaf_bytes, ByteView proof_bytes) const {
  return stages::with_decoded_pair<VerifiedLeaf>(
      leaf_bytes, proof_bytes,
      [this](const wire::InclusionProof& proof, leaf::MtacLeaf& leaf) -> std::expected<VerifiedLeaf, VerifyError> {
        if (failure_) return std::unexpected(*failure_);
        if (!merkle::verify_leaf_in_tree(leaf, proof, sth_)) return std::unexpected(InclusionFailed{});
        return VerifiedLeaf{{proof.leaf_index, sth_.tree_size, sth_.timestamp}, std::move(leaf)};
      });
}

}  // namespace halyx
