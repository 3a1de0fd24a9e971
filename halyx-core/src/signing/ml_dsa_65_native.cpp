// The ML-DSA-65 handle over the project's own verifier (mldsa/). It has no library to set up and
// nothing to allocate: the handle holds no library object, and a prepared signature holds the verifier's
// work by value.
#include <new>
#include <type_traits>

#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include <halyx/signing/ml_dsa_65.hpp>

namespace halyx::signing {
namespace {

static_assert(ML_DSA_65_PUBLIC_KEY_LENGTH == mldsa::PUBLIC_KEY_BYTES);
static_assert(ML_DSA_65_SIGNATURE_LENGTH == mldsa::SIGNATURE_BYTES);

}  // namespace

// No library stands behind this backend, so a handle never holds a library object and this deleter
// is never called with one.
void MlDsa65::LibraryFree::operator()(Library* /*never given one*/) const noexcept {}

void ensure_signature_backend_ready() {
  // Decides the code path now, once for the process, rather than inside the first call.
  static_cast<void>(mldsa::selected_path());
}

std::expected<MlDsa65, SignatureError> create_ml_dsa_65() {
  return MlDsa65(nullptr, ML_DSA_65_PUBLIC_KEY_LENGTH, ML_DSA_65_SIGNATURE_LENGTH);
}

namespace {

using Work = mldsa::PreparedVerification;

// The verifier's work, in a prepared signature's storage (MlDsa65::prepare).
const Work& work_of(const std::byte* storage) noexcept { return *std::launder(reinterpret_cast<const Work*>(storage)); }

}  // namespace

PreparedSignature MlDsa65::prepare(ByteView public_key, ByteView signature) const {
  PreparedSignature prepared(*this, public_key, signature);
  // The verifier's work lives in the prepared signature's storage. It is trivially copyable and
  // destructible, so the storage's bytes may be copied and dropped as the handle's are.
  static_assert(sizeof(Work) <= PreparedSignature::WORK_BYTES, "PreparedSignature::WORK_BYTES is too small");
  static_assert(alignof(Work) <= PreparedSignature::WORK_ALIGNMENT);
  static_assert(std::is_trivially_copyable_v<Work> && std::is_trivially_destructible_v<Work>);
  // A key of another length verifies nothing; it is left unprepared, which fails every check.
  if (public_key.size() == ML_DSA_65_PUBLIC_KEY_LENGTH) {
    ::new (static_cast<void*>(prepared.work_.data()))
        Work(mldsa::prepare(mldsa::PublicKeyView(public_key.data(), ML_DSA_65_PUBLIC_KEY_LENGTH), signature));
  } else {
    ::new (static_cast<void*>(prepared.work_.data())) Work();
  }
  return prepared;
}

PreparedSignature MlDsa65::prepare(ByteView public_key, ByteView signature, ByteView message, ByteView context) const {
  PreparedSignature prepared(*this, public_key, signature);
  prepared.has_message_ = true;
  prepared.message_ = message;
  prepared.context_ = context;
  if (public_key.size() == ML_DSA_65_PUBLIC_KEY_LENGTH) {
    ::new (static_cast<void*>(prepared.work_.data()))
        Work(mldsa::prepare(mldsa::PublicKeyView(public_key.data(), ML_DSA_65_PUBLIC_KEY_LENGTH), signature, message,
                            context, mldsa::kernels_for(mldsa::selected_path())));
  } else {
    ::new (static_cast<void*>(prepared.work_.data())) Work();
  }
  return prepared;
}

std::expected<void, SignatureError> PreparedSignature::verify_prepared() const {
  if (!has_message_ || !work_of(work_.data()).decide_prepared()) return std::unexpected(SignatureError::VerifyFailed);
  return {};
}

std::expected<void, SignatureError> PreparedSignature::verify(ByteView message, ByteView context) const {
  if (!work_of(work_.data()).decide(message, context)) return std::unexpected(SignatureError::VerifyFailed);
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
    case mldsa::Path::Neon:
      return "halyx native (neon)";
    case mldsa::Path::NeonSha3:
      return "halyx native (neon_sha3)";
  }
  return "halyx native";  // unreachable: every path has its case above, and -Wswitch guards new ones
}

}  // namespace halyx::signing
