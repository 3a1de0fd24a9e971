#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {
namespace {

// A text callers match, which names the library the first backend was; it stays whichever runs.
constexpr std::string_view ALGORITHM_DISABLED_TEXT = "OQS Error: Algorithm has been disabled";

}  // namespace

std::string_view message(SignatureError e) noexcept {
  switch (e) {
    case SignatureError::AlgorithmDisabled:
      return ALGORITHM_DISABLED_TEXT;
    case SignatureError::VerifyFailed:
      return {};  // never shown: each caller reports a failed verification in its own words
  }
  return {};  // unreachable: every kind has its case above, and -Wswitch guards new ones
}

std::expected<void, SignatureError> MlDsa65::verify_one(ByteView message, ByteView signature,
                                                                      ByteView context,
                                                                      ByteView public_key) const {
  return prepare(public_key, signature, message, context).verify_prepared();
}

}  // namespace halyx::signing
