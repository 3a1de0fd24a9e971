// verification_stages.hpp: the two halves of the verification order, shared by verify_inclusion
// and CheckedSth so that the order is written down once. Not part of the public interface.
//
// The first half depends only on the STH, the signature and the key; the second only on the leaf
// and the proof, except for the last checks, which compare them with the STH.
#pragma once

#include <expected>
#include <utility>

#include <halyx/bytes.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>
#include <halyx/verification.hpp>

namespace halyx::stages {

// Runs the checks that come before the proof's decode, in their order (the handle, the key's and
// the signature's lengths, the signature over the caller's exact STH bytes, the STH's decode), and
// then returns next(prepared, key, sth): the signature prepared under the key for the checks still
// to come, the key at its checked length, and the decoded STH, which `next` may move from. Returns
// the first failure instead.
template <class Result, class Next>
std::expected<Result, VerifyError> with_checked_sth(ByteView sth_bytes, ByteView signature, ByteView ca_public_key,
                                                    Next&& next) {
  // Callers need not know about library set-up: after the first call this is one check of a flag.
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

  // Both signature checks share one key and one signature: whatever does not depend on the
  // message is worked out once, here, and each check then decides its own message.
  const signing::PreparedSignature prepared = scheme->prepare(ca_public_key, signature);

  // The signature over the caller's exact STH bytes comes before any input is decoded.
  if (!prepared.verify(sth_bytes, signing::STH_SIGNATURE_CONTEXT)) return std::unexpected(SignatureRejected{});

  auto sth = wire::decode_signed_tree_head(sth_bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});

  // The key's length was checked against the handle above, and the handle's is the scheme's.
  const signing::CaPublicKey key(ca_public_key.data(), signing::ML_DSA_65_PUBLIC_KEY_LENGTH);
  return std::forward<Next>(next)(prepared, key, *sth);
}

// Decodes the proof, then the leaf (a call with both malformed reports the proof), and returns
// next(proof, leaf), which may move from either. Returns ProofDecodeFailed or LeafDecodeFailed
// instead.
template <class Result, class Next>
std::expected<Result, VerifyError> with_decoded_pair(ByteView leaf_bytes, ByteView proof_bytes, Next&& next) {
  auto proof = wire::decode_inclusion_proof_v1(proof_bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  auto leaf = leaf::decode_mtac_leaf(leaf_bytes);
  if (!leaf) return std::unexpected(LeafDecodeFailed{std::move(leaf.error())});
  return std::forward<Next>(next)(*proof, *leaf);
}

}  // namespace halyx::stages
