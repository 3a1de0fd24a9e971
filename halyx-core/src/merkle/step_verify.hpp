// step_verify.hpp: the combined last step of a verification: the STH check, the leaf hash and the
// inclusion walk, in that order.
#pragma once

#include <expected>
#include <variant>

#include <halyx/bytes.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/sth_signature.hpp>

namespace halyx::merkle {

struct Sth {
  signing::SthVerifyError error;  // passed on unchanged
};
struct InclusionInvalid {};
// What verify_sth_and_inclusion can report. It carries no text of its own: the STH errors have
// theirs, and the caller words the inclusion failure.
using StepVerifyError = std::variant<Sth, InclusionInvalid>;

// Returns success when the STH names the key's log and carries its signature, and the proof leads
// from the leaf's hash under that log to the STH's root. Errors: Sth (the leaf is then neither
// serialised nor hashed), InclusionInvalid (index outside the tree, a path of the wrong length, or
// another root, or a proof stating another tree size whose path does not also fit the STH's tree,
// so that the proof's leaf_index is always the leaf's index in the STH's tree).
[[nodiscard]] std::expected<void, StepVerifyError> verify_sth_and_inclusion(const leaf::MtacLeaf& leaf,
                                                                            const wire::InclusionProof& proof,
                                                                            const wire::SignedTreeHead& sth,
                                                                            const signing::PreparedSignature& signature,
                                                                            signing::CaPublicKey ca_public_key);

// Returns whether the proof leads from the leaf's hash under the STH's log to the STH's root, with
// the same rule for a proof that states another tree size: verify_sth_and_inclusion after its STH
// check, for a caller that checked the STH once for many leaves.
[[nodiscard]] bool verify_leaf_in_tree(const leaf::MtacLeaf& leaf, const wire::InclusionProof& proof,
                                       const wire::SignedTreeHead& sth);

}  // namespace halyx::merkle
