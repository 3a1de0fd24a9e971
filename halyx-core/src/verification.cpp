#include <halyx/verification.hpp>

#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/merkle/step_verify.hpp>
#include <halyx/verification_stages.hpp>

namespace halyx {
namespace {

std::string length_text(std::string_view what, std::uint64_t expected, std::uint64_t got) {
  std::string s(what);
  s += " rejected by oqs (expected " + std::to_string(expected) + " bytes, got " + std::to_string(got) + ")";
  return s;
}

}  // namespace

ErrorClass error_class(const VerifyError& e) noexcept {
  return std::visit(Overloaded{
                        [](const HandleUnavailable&) { return ErrorClass::Verification; },
                        [](const KeyLengthMismatch&) { return ErrorClass::Verification; },
                        [](const SignatureTooLong&) { return ErrorClass::InvalidProof; },
                        [](const SignatureRejected&) { return ErrorClass::InvalidProof; },
                        [](const SthDecodeFailed&) { return ErrorClass::Verification; },
                        [](const ProofDecodeFailed&) { return ErrorClass::Verification; },
                        [](const LeafDecodeFailed&) { return ErrorClass::Verification; },
                        [](const SthCheckFailed&) { return ErrorClass::InvalidProof; },
                        [](const InclusionFailed&) { return ErrorClass::InvalidProof; },
                    },
                    e);
}

std::string_view class_name(ErrorClass c) noexcept {
  switch (c) {
    case ErrorClass::Verification:
      return "HalyxVerificationError";
    case ErrorClass::InvalidProof:
      return "HalyxInvalidProofError";
  }
  return {};  // unreachable: every class has its case above, and -Wswitch guards new ones
}

std::string message(const VerifyError& e) {
  return std::visit(
      Overloaded{
          [](const HandleUnavailable& x) { return "oqs init failed: " + std::string(signing::message(x.error)); },
          [](const KeyLengthMismatch& x) { return length_text("ca_public_key", x.expected, x.got); },
          [](const SignatureTooLong& x) { return length_text("signature", x.expected, x.got); },
          [](const SignatureRejected&) { return std::string("ML-DSA-65 signature verification failed"); },
          [](const SthDecodeFailed& x) { return "STH envelope decode failed: " + wire::message(x.error); },
          [](const ProofDecodeFailed& x) { return "inclusion proof decode failed: " + wire::message(x.error); },
          [](const LeafDecodeFailed& x) { return "leaf decode failed: " + leaf::message(x.error); },
          [](const SthCheckFailed& x) { return "STH verification failed: " + signing::message(x.error); },
          [](const InclusionFailed&) { return std::string("Merkle inclusion proof invalid"); },
      },
      e);
}

std::expected<VerifiedInclusion, VerifyError> verify_inclusion(ByteView leaf_bytes, ByteView proof_bytes,
                                                               ByteView sth_bytes, ByteView signature,
                                                               ByteView ca_public_key) {
  return stages::with_checked_sth<VerifiedInclusion>(
      sth_bytes, signature, ca_public_key,
      [&](const signing::PreparedSignature& prepared, signing::CaPublicKey key,
          const wire::SignedTreeHead& sth) -> std::expected<VerifiedInclusion, VerifyError> {
        return stages::with_decoded_pair<VerifiedInclusion>(
            leaf_bytes, proof_bytes,
            [&](const wire::InclusionProof& proof,
                const leaf::MtacLeaf& leaf) -> std::expected<VerifiedInclusion, VerifyError> {
              // The STH check decides the STH's re-encoding with the same preparation, then the
              // leaf's hash walks the proof to the STH's root, as CheckedSth::verify does.
              if (auto ok = signing::verify_sth_signature(sth, prepared, key); !ok) {
                return std::unexpected(SthCheckFailed{ok.error()});
              }
              if (!merkle::verify_leaf_in_tree(leaf, proof, sth)) return std::unexpected(InclusionFailed{});
              return VerifiedInclusion{proof.leaf_index, sth.tree_size, sth.timestamp};
            });
      });
}

}  // namespace halyx
