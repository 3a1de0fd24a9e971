// The ML-DSA-65 handle over the project's own verifier (mldsa/). It has no library to set up and
// nothing to allocate: the handle holds no object, and a prepared signature holds the verifier's
// work by value.
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {

struct OqsSignatureScheme::Object {};

void OqsSignatureScheme::ObjectFree::operator()(Object* o) const noexcept { delete o; }

void ensure_oqs_initialised() {
  // Decides the code path now, once for the process, rather than inside the first call.
  static_cast<void>(mldsa::selected_path());
}

std::expected<OqsSignatureScheme, OqsError> create_ml_dsa_65() {
  return OqsSignatureScheme(nullptr, ML_DSA_65_PUBLIC_KEY_LENGTH, ML_DSA_65_SIGNATURE_LENGTH);
}

PreparedSignature OqsSignatureScheme::prepare(ByteView public_key, ByteView signature) const {
  PreparedSignature prepared(*this, public_key, signature);
  // A key of another length verifies nothing; it is left unprepared, which fails every check.
  if (public_key.size() == ML_DSA_65_PUBLIC_KEY_LENGTH) {
    prepared.native_ = mldsa::prepare(mldsa::PublicKeyView(public_key.data(), ML_DSA_65_PUBLIC_KEY_LENGTH), signature);
  }
  return prepared;
}

std::expected<void, OqsError> PreparedSignature::verify(ByteView message, ByteView context) const {
  if (!native_.decide(message, context)) return std::unexpected(OqsError::VerifyFailed);
  return {};
}

std::string_view ml_dsa_65_backend_name() noexcept {
  switch (mldsa::selected_path()) {
    case mldsa::Path::Portable:
      return "halyx native (portable)";
    case mldsa::Path::Avx2:
      return "halyx native (avx2)";
    case mldsa::Path::Avx512:
      return "halyx native (avx512)";
  }
  return "halyx native";  // unreachable: every path has its case above, and -Wswitch guards new ones
}

}  // namespace halyx::signing
