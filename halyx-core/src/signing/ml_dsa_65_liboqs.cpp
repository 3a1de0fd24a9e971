// The ML-DSA-65 handle over liboqs (0.12 or later, the first with verification under a context).
#include <oqs/oqs.h>

#include <mutex>
#include <new>

#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {
namespace {

struct OqsSigFree {
  void operator()(OQS_SIG* p) const noexcept { OQS_SIG_free(p); }
};
using OqsSig = std::unique_ptr<OQS_SIG, OqsSigFree>;

constexpr char ALGORITHM[] = "ML-DSA-65";
static_assert(ML_DSA_65_SCHEME_NAME == ALGORITHM);
constexpr char BACKEND_NAME[] = "liboqs " OQS_VERSION_TEXT;

}  // namespace

struct MlDsa65::Library {
  OqsSig sig;
};

void MlDsa65::LibraryFree::operator()(Library* o) const noexcept { delete o; }

void ensure_signature_backend_ready() {
  static std::once_flag once;
  std::call_once(once, [] { OQS_init(); });
}

std::expected<MlDsa65, SignatureError> create_ml_dsa_65() {
  OqsSig sig(OQS_SIG_new(ALGORITHM));
  if (!sig) {
    // liboqs gives no object both when the algorithm was left out of its build and when it could
    // not allocate one; only the first is a verdict on the library.
    if (OQS_SIG_alg_is_enabled(ALGORITHM) != 0) throw std::bad_alloc();
    return std::unexpected(SignatureError::AlgorithmDisabled);
  }
  const std::size_t public_key_length = sig->length_public_key;
  const std::size_t signature_length = sig->length_signature;
  std::unique_ptr<MlDsa65::Library, MlDsa65::LibraryFree> object(
      new MlDsa65::Library{std::move(sig)});
  return MlDsa65(std::move(object), public_key_length, signature_length);
}

PreparedSignature MlDsa65::prepare(ByteView public_key, ByteView signature) const {
  return PreparedSignature(*this, public_key, signature);
}

std::expected<void, SignatureError> PreparedSignature::verify(ByteView message, ByteView context) const {
  // liboqs reads exactly length_public_key bytes of the key; a shorter buffer would be over-read.
  if (public_key_.size() != scheme_->length_public_key()) return std::unexpected(SignatureError::VerifyFailed);
  // An empty context goes down as a null pointer with length 0.
  const std::uint8_t* ctx = context.empty() ? nullptr : context.data();
  const OQS_STATUS status = OQS_SIG_verify_with_ctx_str(scheme_->library_->sig.get(), message.data(),
                                                        message.size(), signature_.data(), signature_.size(),
                                                        ctx, context.size(), public_key_.data());
  if (status != OQS_SUCCESS) return std::unexpected(SignatureError::VerifyFailed);
  return {};
}

std::string_view ml_dsa_65_backend_name() noexcept { return BACKEND_NAME; }

}  // namespace halyx::signing
