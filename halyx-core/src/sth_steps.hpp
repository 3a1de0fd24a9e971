// sth_steps.hpp (private): the steps of a verification that a single call and CheckedSth share.
#pragma once

#include <expected>
#include <optional>
#include <utility>

#include <halyx/bytes.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>
#include <halyx/verification.hpp>

namespace halyx::detail {

// Steps 1 to 5; then returns finish(sth, prepared), given the decoded STH and the signature prepared
// under the key, which lives only as long as that call.
template <class Value, class Finish>
[[nodiscard]] std::expected<Value, VerifyError> check_then(ByteView sth_bytes, ByteView signature, ByteView ca_public_key,
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
inline std::optional<SthCheckFailed> failure_after_decodes(const wire::SignedTreeHead& sth, const signing::PreparedSignature& prepared,
                                            const Hash32& derived_log_id, ByteView sth_bytes) {
  if (auto ok = signing::verify_sth_signature_under_log_id(sth, prepared, derived_log_id, sth_bytes); !ok) {
    return SthCheckFailed{ok.error()};
  }
  return std::nullopt;
}

}  // namespace halyx::detail
