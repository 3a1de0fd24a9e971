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
#include <halyx/checked_sth.hpp>

#include <halyx/digest/sha256.hpp>
#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>

namespace halyx {
namespace {

// Steps 1 to 5; then returns finish(sth, prepared), given the decoded STH and the signature prepared
// under the key, which lives only as long as that call.
template <class Value, class Finish>
std::expected<Value, VerifyError> check_then(ByteView sth_bytes, ByteView signature, ByteView ca_public_key,
                                             Finish finish) {
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
  // message is worked out once, here, and each check then decides its own message. The caller's
  // STH bytes, decided first, are hashed for their decision in the same pass.
  const signing::PreparedSignature prepared =
      scheme->prepare(ca_public_key, signature, sth_bytes, signing::STH_SIGNATURE_CONTEXT);

  // The signature over the caller's exact STH bytes comes before any input is decoded.
  if (!prepared.verify_prepared()) return std::unexpected(SignatureRejected{});

  auto sth = wire::decode_signed_tree_head(sth_bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});
  return finish(std::move(*sth), prepared);
}

// The checks after the decodes, given the key's log id: the STH names that log, and the signature
// holds over the STH's re-encoding. The signature was found to hold over sth_bytes: a re-encoding
// identical to them (the usual case) is not decided a second time.
std::optional<SthCheckFailed> failure_after_decodes(const wire::SignedTreeHead& sth, const signing::PreparedSignature& prepared,
                                            const Hash32& derived_log_id, ByteView sth_bytes) {
  if (auto ok = signing::verify_sth_signature_under_log_id(sth, prepared, derived_log_id, sth_bytes); !ok) {
    return SthCheckFailed{ok.error()};
  }
  return std::nullopt;
}

}  // namespace

// The single call needs no decoded leaf: a leaf in its canonical form is hashed as it stands, and the
// key's log id is taken beside the walk's node hashes, whose chain leaves the SHA instructions time
// for a second one. Its answers are those of check() and verify().
std::expected<VerifiedInclusion, VerifyError> verify_inclusion(ByteView leaf_bytes, ByteView proof_bytes,
                                                               ByteView sth_bytes, ByteView signature,
                                                               ByteView ca_public_key) {
  using Result = std::expected<VerifiedInclusion, VerifyError>;
  return check_then<VerifiedInclusion>(
      sth_bytes, signature, ca_public_key,
      [&](const wire::SignedTreeHead& sth, const signing::PreparedSignature& prepared) -> Result {
        const auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
        if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
        auto leaf_hash = merkle::leaf_hash_of_record(leaf_bytes, sth.log_id);
        if (!leaf_hash) return std::unexpected(LeafDecodeFailed{std::move(leaf_hash.error())});

        digest::Sha256Beside key_digest(ca_public_key);
        const bool included = merkle::verify_leaf_hash_in_tree(*leaf_hash, *proof, sth, key_digest);
        if (auto failure = failure_after_decodes(sth, prepared, key_digest.finish(), sth_bytes)) {
          return std::unexpected(*failure);
        }
        if (!included) return std::unexpected(InclusionFailed{});
        return VerifiedInclusion{proof->leaf_index, sth.tree_size, sth.timestamp};
      });
}

std::expected<CheckedSth, VerifyError> CheckedSth::check(ByteView sth_bytes, ByteView signature,
                                                         ByteView ca_public_key) {
  return check_then<CheckedSth>(
      sth_bytes, signature, ca_public_key,
      [&](wire::SignedTreeHead sth,
          const signing::PreparedSignature& prepared) -> std::expected<CheckedSth, VerifyError> {
        auto failure = failure_after_decodes(sth, prepared, signing::derive_log_id(ca_public_key), sth_bytes);
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
