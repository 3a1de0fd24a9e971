#include <halyx/signing/sth_signature.hpp>

#include <halyx/digest/sha256.hpp>

#include <algorithm>

namespace halyx::signing {
namespace {

// "[1, 2, ..., 32]": the byte values in decimal, as the identity mismatch message shows them.
std::string hash_list(const Hash32& h) {
  std::string out = "[";
  for (std::size_t i = 0; i < h.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(h[i]);
  }
  out += ']';
  return out;
}

}  // namespace

std::string message(const SthVerifyError& e) {
  return std::visit(Overloaded{
                        [](const SignatureInvalid&) { return std::string("ML-DSA-65 signature is invalid"); },
                        [](const LogIdMismatch& x) {
                          return "log_id mismatch: STH claims " + hash_list(x.sth_claims) +
                                 ", but ca_public_key derives " + hash_list(x.derived);
                        },
                    },
                    e);
}

Hash32 derive_log_id(ByteView ca_public_key) { return digest::sha256(ca_public_key); }

std::expected<void, SthVerifyError> verify_sth_signature(const wire::SignedTreeHead& sth,
                                                         const PreparedSignature& signature,
                                                         CaPublicKey ca_public_key,
                                                         ByteView already_verified) {
  return verify_sth_signature_under_log_id(sth, signature, derive_log_id(ca_public_key), already_verified);
}

std::expected<void, SthVerifyError> verify_sth_signature_under_log_id(const wire::SignedTreeHead& sth,
                                                                      const PreparedSignature& signature,
                                                                      const Hash32& derived, ByteView already_verified) {
  if (derived != sth.log_id) return std::unexpected(LogIdMismatch{sth.log_id, derived});
  if (signature.signature_size() != ML_DSA_65_SIGNATURE_LENGTH) return std::unexpected(SignatureInvalid{});

  // The signature must hold for the record as it re-encodes, not only for the bytes the caller
  // sent: a record whose caller bytes used longer heads than needed re-encodes differently and
  // fails here, so two encodings of one tree head can never both be accepted.
  const ByteString message_bytes = wire::encode_signed_tree_head(sth);
  if (std::ranges::equal(message_bytes, already_verified)) return {};
  if (!signature.verify(message_bytes, STH_SIGNATURE_CONTEXT)) {
    return std::unexpected(SignatureInvalid{});
  }
  return {};
}

}  // namespace halyx::signing
