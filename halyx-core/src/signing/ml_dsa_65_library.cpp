// What the library backends (OpenSSL, liboqs) share: a library has no use for a message given in
// advance, so a prepared signature keeps the message and decides it later as any other.
#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {

PreparedSignature MlDsa65::prepare(ByteView public_key, ByteView signature, ByteView message, ByteView context) const {
  PreparedSignature prepared(*this, public_key, signature);
  prepared.has_message_ = true;
  prepared.message_ = message;
  prepared.context_ = context;
  return prepared;
}

std::expected<void, SignatureError> PreparedSignature::verify_prepared() const {
  if (!has_message_) return std::unexpected(SignatureError::VerifyFailed);
  return verify(message_, context_);
}

}  // namespace halyx::signing
