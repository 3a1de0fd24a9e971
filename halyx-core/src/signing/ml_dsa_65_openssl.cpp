// The ML-DSA-65 handle over OpenSSL 3.5 or later (FIPS 204 with context strings through EVP).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/params.h>

#include <atomic>
#include <mutex>
#include <new>

#include <halyx/signing/ml_dsa_65.hpp>

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

// Contexts longer than this are refused by FIPS 204 itself.
constexpr std::size_t MAX_CONTEXT_LENGTH = 255;

// Whether the thread's error queue holds a failed allocation. Empties the queue either way: we never
// show that text, and a stale entry would mislead the next caller on this thread.
bool take_allocation_failure() noexcept {
  bool found = false;
  while (const unsigned long code = ERR_get_error()) found = found || ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE;
  return found;
}

// A failed allocation is no verdict on a signature: it leaves as std::bad_alloc (a MemoryError in
// Python), never as a signature that "does not verify".
[[noreturn]] void out_of_memory() {
  ERR_clear_error();
  throw std::bad_alloc();
}

std::unexpected<SignatureError> fail(SignatureError e) {
  if (take_allocation_failure()) out_of_memory();
  return std::unexpected(e);
}

// The ML-DSA-65 implementation, fetched once per process and shared by every handle. Fetching per
// handle would cost a method-store lookup on every call, and the fetch hides the errors of its
// lookups, so a fetch that fails for want of memory looks like a missing algorithm. Once one fetch
// has succeeded (at initialisation) the question never comes up again. The object is never freed, so
// no static destructor runs after libcrypto's own cleanup.
EVP_SIGNATURE* ml_dsa_65_algorithm() {
  static std::atomic<EVP_SIGNATURE*> algorithm{nullptr};
  if (EVP_SIGNATURE* a = algorithm.load(std::memory_order_acquire)) return a;
  EVP_SIGNATURE* fetched = EVP_SIGNATURE_fetch(nullptr, ALGORITHM, nullptr);
  if (fetched == nullptr) return nullptr;
  EVP_SIGNATURE* expected = nullptr;
  if (!algorithm.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel)) {
    EVP_SIGNATURE_free(fetched);  // another thread stored its own first
    return expected;
  }
  return fetched;
}

}  // namespace

// The library's counterpart of a scheme object: a reference to the ML-DSA-65 signature algorithm.
struct MlDsa65::Library {
  EvpSignature algorithm;
};

void MlDsa65::LibraryFree::operator()(Library* o) const noexcept { delete o; }

void ensure_signature_backend_ready() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(0, nullptr);
    // Fetched now, while the process starts, so that no later call has to tell a missing algorithm
    // from a failed allocation. A failure here is tried again by the first handle.
    if (ml_dsa_65_algorithm() == nullptr) ERR_clear_error();
  });
}

std::expected<MlDsa65, SignatureError> create_ml_dsa_65() {
  EVP_SIGNATURE* shared = ml_dsa_65_algorithm();
  if (shared == nullptr) return fail(SignatureError::AlgorithmDisabled);
  if (EVP_SIGNATURE_up_ref(shared) != 1) out_of_memory();
  EvpSignature algorithm(shared);
  std::unique_ptr<MlDsa65::Library, MlDsa65::LibraryFree> object(
      new MlDsa65::Library{std::move(algorithm)});
  return MlDsa65(std::move(object), ML_DSA_65_PUBLIC_KEY_LENGTH, ML_DSA_65_SIGNATURE_LENGTH);
}

PreparedSignature MlDsa65::prepare(ByteView public_key, ByteView signature) const {
  return PreparedSignature(*this, public_key, signature);
}

std::expected<void, SignatureError> PreparedSignature::verify(ByteView message, ByteView context) const {
  // What the library would refuse for the input's sake is refused here first, so that every later
  // failure to build a key or a context can only be a failed allocation. Any 1952 bytes are a
  // well-formed ML-DSA-65 public key.
  if (public_key_.size() != scheme_->length_public_key() || context.size() > MAX_CONTEXT_LENGTH) {
    return std::unexpected(SignatureError::VerifyFailed);
  }
  EvpPkey key(EVP_PKEY_new_raw_public_key_ex(nullptr, ALGORITHM, nullptr, public_key_.data(),
                                             public_key_.size()));
  if (!key) out_of_memory();
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx) out_of_memory();

  // An empty context is the library's default, so it is passed as no parameter at all.
  OSSL_PARAM params[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
  if (!context.empty()) {
    params[0] = OSSL_PARAM_construct_octet_string(OSSL_SIGNATURE_PARAM_CONTEXT_STRING,
                                                  const_cast<std::uint8_t*>(context.data()), context.size());
  }
  if (EVP_PKEY_verify_message_init(ctx.get(), scheme_->library_->algorithm.get(), context.empty() ? nullptr : params) != 1) {
    out_of_memory();
  }
  if (EVP_PKEY_verify(ctx.get(), signature_.data(), signature_.size(), message.data(), message.size()) != 1) {
    return fail(SignatureError::VerifyFailed);
  }
  return {};
}

std::string_view ml_dsa_65_backend_name() noexcept { return OpenSSL_version(OPENSSL_VERSION); }

}  // namespace halyx::signing
