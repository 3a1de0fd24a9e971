// sth_signature.hpp: the log identity of a CA key, and the check that a decoded signed tree head
// names that key's log and carries its signature.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <variant>

#include <halyx/bytes.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {

// The raw CA key. Its type fixes the length, so a caller holding a key of another length must refuse
// it before it can call anything that takes one.
using CaPublicKey = std::span<const std::uint8_t, ML_DSA_65_PUBLIC_KEY_LENGTH>;

struct SignatureInvalid {
  bool operator==(const SignatureInvalid&) const = default;
};
struct LogIdMismatch {
  Hash32 sth_claims;  // the STH's log_id
  Hash32 derived;     // SHA-256 of the caller's key
  bool operator==(const LogIdMismatch&) const = default;
};
// What verify_sth_signature can report.
using SthVerifyError = std::variant<SignatureInvalid, LogIdMismatch>;

// Returns the display text of `e`.
[[nodiscard]] std::string message(const SthVerifyError& e);

// Returns the log identifier of a CA key: SHA-256 of its raw bytes, with no prefix or tag.
[[nodiscard]] Hash32 derive_log_id(ByteView ca_public_key);

// Returns success when the STH names the log of `ca_public_key` and `signature` (prepared under
// that key) is its ML-DSA-65 signature of the STH's shortest-form re-encoding under
// STH_SIGNATURE_CONTEXT. Errors, in the order checked: LogIdMismatch (so a foreign key never costs
// a verification), then SignatureInvalid (wrong length, or no valid signature of the re-encoding).
//
// `already_verified` names bytes over which `signature` is known to hold under STH_SIGNATURE_CONTEXT
// (the caller's own STH bytes, once checked). Verification is a function of key, signature, message
// and context alone, so a re-encoding identical to those bytes has its verdict already and is not
// decided again; any other re-encoding is.
[[nodiscard]] std::expected<void, SthVerifyError> verify_sth_signature(const wire::SignedTreeHead& sth,
                                                                       const PreparedSignature& signature,
                                                                       CaPublicKey ca_public_key,
                                                                       ByteView already_verified = {});

// The same checks, for a caller that has already derived the key's log id (derive_log_id) beside
// other work.
[[nodiscard]] std::expected<void, SthVerifyError> verify_sth_signature_under_log_id(
    const wire::SignedTreeHead& sth, const PreparedSignature& signature, const Hash32& derived_log_id,
    ByteView already_verified = {});

}  // namespace halyx::signing
