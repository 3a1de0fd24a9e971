#include "verification.hpp"

#include "serialization/inclusion_proof.hpp"
#include "serialization/signed_tree_head.hpp"

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
  // Callers of this function need not know about library set-up: after the first call this is one
  // check of a flag, and the Python module has already run it before any call arrives.
  signing::ensure_oqs_initialised();
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

  // Both signature checks of the call share one key and one signature: whatever does not depend
  // on the message is worked out once, here, and each check then decides its own message.
  const signing::PreparedSignature prepared = scheme->prepare(ca_public_key, signature);

  // The signature over the caller's exact STH bytes comes before any input is decoded.
  if (!prepared.verify(sth_bytes, signing::STH_SIGNATURE_CONTEXT)) return std::unexpected(SignatureRejected{});

  auto sth = wire::decode_signed_tree_head(sth_bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});
  auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  auto leaf = leaf::decode_mtac_leaf(leaf_bytes);
  if (!leaf) return std::unexpected(LeafDecodeFailed{std::move(leaf.error())});

  // The key's length was checked against the handle above, and the handle's is the scheme's.
  const signing::CaPublicKey key(ca_public_key.data(), signing::ML_DSA_65_PUBLIC_KEY_LENGTH);
  // The STH check decides the STH's re-encoding with the same preparation, then the leaf's hash
  // walks the proof to the STH's root.
  if (auto step = merkle::verify_sth_and_inclusion(*leaf, *proof, *sth, prepared, key); !step) {
    return std::unexpected(std::visit(Overloaded{
                                          [](merkle::Sth& x) -> VerifyError { return SthCheckFailed{x.error}; },
                                          [](merkle::InclusionInvalid&) -> VerifyError { return InclusionFailed{}; },
                                      },
                                      step.error()));
  }
  return VerifiedInclusion{proof->leaf_index, sth->tree_size, sth->timestamp};
}

}  // namespace halyx
