// The order of one verification, top to bottom. verify_inclusion is check() followed by verify(),
// so a single call and a batch under one STH run the same lines:
//
//   check()   1 the ML-DSA-65 handle, 2 the key's length, 3 the signature's length, 4 the signature
//             over the caller's exact STH bytes, 5 the STH's decode; then the log id and the
//             signature over the STH's re-encoding (decided only where it differs from the
//             caller's bytes), whose failure is kept, not returned
//   verify()  6 the proof's decode, 7 the leaf's decode, 8 the kept STH failure, 9 the inclusion walk
//
// A single call reports 8 after 6 and 7, so a proof or leaf that does not decode is reported even
// when the STH names another log; check() decides 8 once, and each verify() reports it in its place.
#include <halyx/checked_sth.hpp>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>

namespace halyx {

std::expected<VerifiedInclusion, VerifyError> verify_inclusion(ByteView leaf_bytes, ByteView proof_bytes,
                                                               ByteView sth_bytes, ByteView signature,
                                                               ByteView ca_public_key) {
  using Result = std::expected<VerifiedInclusion, VerifyError>;
  const auto checked = CheckedSth::check(sth_bytes, signature, ca_public_key);
  if (!checked) return Result(std::unexpect, checked.error());
  const auto verified = checked->verify(leaf_bytes, proof_bytes);
  if (!verified) return Result(std::unexpect, verified.error());
  return verified->inclusion;
}

std::expected<CheckedSth, VerifyError> CheckedSth::check(ByteView sth_bytes, ByteView signature,
                                                         ByteView ca_public_key) {
  // Callers need not know about set-up: after the first call this is one check of a flag.
  signing::ensure_signature_backend_ready();
  // Every call has its own handle; none is cached.
  auto scheme = signing::create_ml_dsa_65();
  if (!scheme) return std::unexpected(HandleUnavailable{scheme.error()});

  // Lengths are refused before any cryptography runs. A short signature is left to the verification.
  if (ca_public_key.size() != scheme->length_public_key()) {
    return std::unexpected(KeyLengthMismatch{scheme->length_public_key(), ca_public_key.size()});
  }
  if (signature.size() > scheme->length_signature()) {
    return std::unexpected(SignatureTooLong{scheme->length_signature(), signature.size()});
  }

  // Both signature checks share one key and one signature: whatever does not depend on the
  // message is worked out once, here, and each check then decides its own message.
  const signing::PreparedSignature prepared = scheme->prepare(ca_public_key, signature);

  // The signature over the caller's exact STH bytes comes before any input is decoded.
  if (!prepared.verify(sth_bytes, signing::STH_SIGNATURE_CONTEXT)) return std::unexpected(SignatureRejected{});

  auto sth = wire::decode_signed_tree_head(sth_bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});

  // The key's length was checked against the handle above, and the handle's is the scheme's.
  const signing::CaPublicKey key(ca_public_key.data(), signing::ML_DSA_65_PUBLIC_KEY_LENGTH);
  std::optional<SthCheckFailed> failure;
  // The signature was just found to hold over sth_bytes: a re-encoding identical to them (the usual
  // case) is not decided a second time.
  if (auto ok = signing::verify_sth_signature(*sth, prepared, key, sth_bytes); !ok) {
    failure = SthCheckFailed{ok.error()};
  }
  return CheckedSth(std::move(*sth), failure);
}

std::expected<VerifiedLeaf, VerifyError> CheckedSth::verify(ByteView leaf_bytes, ByteView proof_bytes) const {
  // The proof first: a call with both malformed reports the proof.
  auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  auto leaf = leaf::decode_mtac_leaf(leaf_bytes);
  if (!leaf) return std::unexpected(LeafDecodeFailed{std::move(leaf.error())});

  if (failure_) return std::unexpected(*failure_);
  if (!merkle::verify_leaf_in_tree(*leaf, *proof, sth_)) return std::unexpected(InclusionFailed{});
  return VerifiedLeaf{{proof->leaf_index, sth_.tree_size, sth_.timestamp}, std::move(*leaf)};
}

}  // namespace halyx
