#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {

std::string_view message(OqsError e) noexcept {
  switch (e) {
    case OqsError::AlgorithmDisabled:
      return "OQS Error: Algorithm has been disabled";
    case OqsError::VerifyFailed:
      return {};  // never shown: each caller reports a failed verification in its own words
  }
  return {};  // unreachable: every kind has its case above, and -Wswitch guards new ones
}

std::expected<void, OqsError> OqsSignatureScheme::verify_with_ctx_str(ByteView message, ByteView signature,
                                                                      ByteView context,
                                                                      ByteView public_key) const {
  return prepare(public_key, signature).verify(message, context);
}

}  // namespace halyx::signing
