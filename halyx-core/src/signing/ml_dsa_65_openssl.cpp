// The ML-DSA-65 handle over OpenSSL 3.5 or later (FIPS 204 with context strings through EVP).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/params.h>

#include <mutex>

#include "signing/ml_dsa_65.hpp"

#if OPENSSL_VERSION_NUMBER < 0x30500000L
#error "the OpenSSL ML-DSA-65 backend needs OpenSSL 3.5 or later"
#endif

namespace halyx::signing {
namespace {

struct EvpSignatureFree {
  void operator()(EVP_SIGNATURE* p) const noexcept { EVP_SIGNATURE_free(p); }
};
struct EvpPkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct EvpPkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
using EvpSignature = std::unique_ptr<EVP_SIGNATURE, EvpSignatureFree>;
using EvpPkey = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;

constexpr char ALGORITHM[] = "ML-DSA-65";
static_assert(ML_DSA_65_SCHEME_NAME == ALGORITHM);

// A failed call leaves entries on the thread's error queue. We never show that text, and a stale
// entry would mislead the next caller on this thread, so every failure path clears it.
std::unexpected<OqsError> fail(OqsError e) noexcept {
  ERR_clear_error();
  return std::unexpected(e);
}

}  // namespace

// The library's counterpart of a scheme object: the fetched ML-DSA-65 signature algorithm.
struct OqsSignatureScheme::Object {
  EvpSignature algorithm;
};

void OqsSignatureScheme::ObjectFree::operator()(Object* o) const noexcept { delete o; }

void ensure_oqs_initialised() {
  static std::once_flag once;
  std::call_once(once, [] { OPENSSL_init_crypto(0, nullptr); });
}

std::expected<OqsSignatureScheme, OqsError> create_ml_dsa_65() {
  EvpSignature algorithm(EVP_SIGNATURE_fetch(nullptr, ALGORITHM, nullptr));
  if (!algorithm) return fail(OqsError::AlgorithmDisabled);
  std::unique_ptr<OqsSignatureScheme::Object, OqsSignatureScheme::ObjectFree> object(
      new OqsSignatureScheme::Object{std::move(algorithm)});
  return OqsSignatureScheme(std::move(object), ML_DSA_65_PUBLIC_KEY_LENGTH, ML_DSA_65_SIGNATURE_LENGTH);
}

std::expected<void, OqsError> OqsSignatureScheme::verify_with_ctx_str(ByteView message, ByteView signature,
                                                                      ByteView context,
                                                                      ByteView public_key) const {
  EvpPkey key(EVP_PKEY_new_raw_public_key_ex(nullptr, ALGORITHM, nullptr, public_key.data(),
                                             public_key.size()));
  if (!key) return fail(OqsError::VerifyFailed);
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx) return fail(OqsError::VerifyFailed);

  // An empty context is the library's default, so it is passed as no parameter at all.
  OSSL_PARAM params[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
  if (!context.empty()) {
    params[0] = OSSL_PARAM_construct_octet_string(OSSL_SIGNATURE_PARAM_CONTEXT_STRING,
                                                  const_cast<std::uint8_t*>(context.data()), context.size());
  }
  if (EVP_PKEY_verify_message_init(ctx.get(), object_->algorithm.get(), context.empty() ? nullptr : params) != 1) {
    return fail(OqsError::VerifyFailed);
  }
  if (EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) != 1) {
    return fail(OqsError::VerifyFailed);
  }
  return {};
}

std::string_view ml_dsa_65_backend_name() noexcept { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace halyx::signing
