// verification.hpp: the whole verification of one leaf against a CA key, as one call over five byte
// views. The call is CheckedSth::check followed by CheckedSth::verify (checked_sth.hpp, many leaves
// against one STH), and its order is written down once, in checked_sth.cpp; the Python module and
// the command-line verifier are adapters around the two.
//
//   auto verified = halyx::verify_inclusion(leaf, proof, sth, signature, ca_public_key);
//   if (!verified) {
//     std::cerr << halyx::class_name(halyx::error_class(verified.error())) << ": "
//               << halyx::message(verified.error()) << '\n';
//   } else {
//     use(verified->leaf_index, verified->tree_size, verified->timestamp_ms);
//   }
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include <halyx/bytes.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/wire_decode_error.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>

namespace halyx {

// What a verified call reports: the leaf's index in the STH's tree, and the STH's size and time.
struct VerifiedInclusion {
  std::uint64_t leaf_index = 0;
  std::uint64_t tree_size = 0;
  std::uint64_t timestamp_ms = 0;  // milliseconds since the Unix epoch, as the STH states it
  bool operator==(const VerifiedInclusion&) const = default;
};

// One alternative per way a verification can end unverified, in the order the checks run.
struct HandleUnavailable {  // no ML-DSA-65 handle could be created
  signing::SignatureError error;
  bool operator==(const HandleUnavailable&) const = default;
};
struct KeyLengthMismatch {  // ca_public_key is not exactly `expected` bytes
  std::uint64_t expected, got;
  bool operator==(const KeyLengthMismatch&) const = default;
};
struct SignatureTooLong {  // the signature has more than `expected` bytes
  std::uint64_t expected, got;
  bool operator==(const SignatureTooLong&) const = default;
};
struct SignatureRejected {  // the signature does not verify over the caller's exact STH bytes
  bool operator==(const SignatureRejected&) const = default;
};
struct SthDecodeFailed {
  wire::WireDecodeError error;
  bool operator==(const SthDecodeFailed&) const = default;
};
struct ProofDecodeFailed {
  wire::WireDecodeError error;
  bool operator==(const ProofDecodeFailed&) const = default;
};
struct LeafDecodeFailed {
  leaf::LeafDecodeError error;
  bool operator==(const LeafDecodeFailed&) const = default;
};
struct SthCheckFailed {  // the STH names another log, or its re-encoding is not signed
  signing::SthVerifyError error;
  bool operator==(const SthCheckFailed&) const = default;
};
struct InclusionFailed {  // the proof does not lead from the leaf to the STH's root
  bool operator==(const InclusionFailed&) const = default;
};
using VerifyError = std::variant<HandleUnavailable, KeyLengthMismatch, SignatureTooLong, SignatureRejected,
                                 SthDecodeFailed, ProofDecodeFailed, LeafDecodeFailed, SthCheckFailed,
                                 InclusionFailed>;

// The two kinds of failure a caller tells apart: input that is unusable or malformed, and input
// that is well-formed but does not prove what it claims. The Python module raises them as
// HalyxVerificationError and HalyxInvalidProofError.
enum class ErrorClass : std::uint8_t { Verification, InvalidProof };

// Returns the class of `e`.
[[nodiscard]] ErrorClass error_class(const VerifyError& e) noexcept;

// Returns the Python exception name of a class: "HalyxVerificationError" or "HalyxInvalidProofError".
[[nodiscard]] std::string_view class_name(ErrorClass c) noexcept;

// Returns the display text of `e`, exactly as the Python module raises it. The only place these
// texts are written; inner errors keep their own texts behind the stage's prefix.
[[nodiscard]] std::string message(const VerifyError& e);

// Returns the verified fields when `signature` is the ML-DSA-65 signature of `sth_bytes` by
// `ca_public_key` under the STH context, the STH names that key's log and re-encodes to a signed
// record, and `proof_bytes` lead from the leaf in `leaf_bytes` to the STH's root. Otherwise returns
// the first failure, in this order: the handle, the key length, the signature length, the signature
// over `sth_bytes`, the STH, proof and leaf decodes, then the STH check and the inclusion walk.
// Initialises the signature library on first use, so it needs no set-up by the caller. Borrows the
// five views for the call only; keeps nothing. Allocation failure is the only way out
// other than a return (std::bad_alloc).
[[nodiscard]] std::expected<VerifiedInclusion, VerifyError> verify_inclusion(ByteView leaf_bytes,
                                                                             ByteView proof_bytes,
                                                                             ByteView sth_bytes,
                                                                             ByteView signature,
                                                                             ByteView ca_public_key);

}  // namespace halyx
