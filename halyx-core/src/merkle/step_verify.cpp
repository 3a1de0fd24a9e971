#include <halyx/merkle/step_verify.hpp>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>

namespace halyx::merkle {

std::expected<void, StepVerifyError> verify_sth_and_inclusion(const leaf::MtacLeaf& leaf,
                                                              const wire::InclusionProof& proof,
                                                              const wire::SignedTreeHead& sth,
                                                              const signing::PreparedSignature& signature,
                                                              signing::CaPublicKey ca_public_key) {
  if (auto checked = signing::verify_sth_signature(sth, signature, ca_public_key); !checked) {
    return std::unexpected(Sth{checked.error()});
  }
  if (!verify_leaf_in_tree(leaf, proof, sth)) return std::unexpected(InclusionInvalid{});
  return {};
}

bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                         const wire::SignedTreeHead& sth) {
  const Hash32 hash = leaf_hash(leaf, sth.log_id);
  if (!verify_inclusion_proof(hash, proof, sth.root_hash)) return false;
  // The proof's own tree size shapes the walk, and may differ from the STH's when both trees give
  // the leaf the same path. But a path can also fit a smaller tree in which the leaf sits elsewhere:
  // leaf 4 of 5, whose one sibling is the root of leaves 0-3, walks to the same root as leaf 1 of 2.
  // The index the caller is told must be the leaf's index in the STH's tree, so a proof stating
  // another size must also walk to the root under the STH's size.
  return proof.tree_size == sth.tree_size ||
         verify_inclusion_path(hash, proof.leaf_index, sth.tree_size, proof.inclusion_path, sth.root_hash);
}

}  // namespace halyx::merkle
