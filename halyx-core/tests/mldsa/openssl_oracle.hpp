// openssl_oracle.hpp: OpenSSL 3.5's ML-DSA-65, reached only through its public EVP interface, as
// the oracle our verifier is compared with (the differential test and fuzz target). Keys come from
// 32-byte seeds and signatures from 32 bytes of caller-given randomness, so that a run is made again
// exactly from the seed its test prints.
#pragma once

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

#include <halyx/bytes.hpp>

namespace halyx::test {

struct EvpPkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct EvpPkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct EvpSignatureFree {
  void operator()(EVP_SIGNATURE* p) const noexcept { EVP_SIGNATURE_free(p); }
};
using EvpPkey = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using EvpSignature = std::unique_ptr<EVP_SIGNATURE, EvpSignatureFree>;

using Seed32 = std::span<const std::uint8_t, 32>;

class MlDsa65Oracle {
 public:
  MlDsa65Oracle() : algorithm_(EVP_SIGNATURE_fetch(nullptr, "ML-DSA-65", nullptr)) {
    if (!algorithm_) throw std::runtime_error("OpenSSL has no ML-DSA-65");
  }

  // Returns the key pair that `seed` determines; throws when OpenSSL cannot make it.
  [[nodiscard]] EvpPkey generate(Seed32 seed) const {
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "ML-DSA-65", nullptr));
    EVP_PKEY* made = nullptr;
    const OSSL_PARAM params[] = {octets(OSSL_PKEY_PARAM_ML_DSA_SEED, seed), OSSL_PARAM_construct_end()};
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 ||
        EVP_PKEY_generate(ctx.get(), &made) != 1) {
      ERR_clear_error();
      throw std::runtime_error("OpenSSL could not generate an ML-DSA-65 key");
    }
    return EvpPkey(made);
  }

  // Returns the 1952 bytes of `key`'s public half.
  [[nodiscard]] static ByteString public_key(const EVP_PKEY* key) {
    ByteString out(1952);
    std::size_t len = out.size();
    if (EVP_PKEY_get_raw_public_key(key, out.data(), &len) != 1 || len != out.size()) {
      ERR_clear_error();
      throw std::runtime_error("OpenSSL gave no 1952-byte public key");
    }
    return out;
  }

  // Returns the key OpenSSL makes of raw public-key bytes, or null when it refuses them.
  [[nodiscard]] static EvpPkey load_public_key(ByteView bytes) {
    EvpPkey key(EVP_PKEY_new_raw_public_key_ex(nullptr, "ML-DSA-65", nullptr, bytes.data(), bytes.size()));
    if (!key) ERR_clear_error();
    return key;
  }

  // Returns the signature of `message` under `context`, hedged with `randomness`, or an empty
  // string when OpenSSL refuses to sign (as it must for a context over 255 bytes).
  [[nodiscard]] ByteString sign(EVP_PKEY* key, ByteView message, ByteView context, Seed32 randomness) const {
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const OSSL_PARAM params[] = {octets(OSSL_SIGNATURE_PARAM_CONTEXT_STRING, context),
                                 octets(OSSL_SIGNATURE_PARAM_TEST_ENTROPY, randomness), OSSL_PARAM_construct_end()};
    ByteString signature(3309);
    std::size_t len = signature.size();
    if (!ctx || EVP_PKEY_sign_message_init(ctx.get(), algorithm_.get(), params) != 1 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &len, message.data(), message.size()) != 1) {
      ERR_clear_error();
      return {};
    }
    signature.resize(len);
    return signature;
  }

  // Returns OpenSSL's verdict on `signature` over `message` under `context`; a refused call
  // (a context over 255 bytes, say) is a rejection.
  [[nodiscard]] bool verify(EVP_PKEY* key, ByteView message, ByteView context, ByteView signature) const {
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const OSSL_PARAM params[] = {octets(OSSL_SIGNATURE_PARAM_CONTEXT_STRING, context), OSSL_PARAM_construct_end()};
    const bool accepted = ctx && EVP_PKEY_verify_message_init(ctx.get(), algorithm_.get(), params) == 1 &&
                          EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), message.data(),
                                          message.size()) == 1;
    // A failed verification leaves an entry on the thread's error queue; the next call must not see it.
    ERR_clear_error();
    return accepted;
  }

  // The same on raw key bytes: a key OpenSSL refuses to load verifies nothing.
  [[nodiscard]] bool verify(ByteView public_key_bytes, ByteView message, ByteView context, ByteView signature) const {
    const EvpPkey key = load_public_key(public_key_bytes);
    return key && verify(key.get(), message, context, signature);
  }

 private:
  // An octet-string parameter; OpenSSL only reads it. An empty span may have no address, and OpenSSL
  // takes a null pointer for "absent", so an empty one points at a byte of its own.
  static OSSL_PARAM octets(const char* name, ByteView bytes) {
    static const std::uint8_t nothing = 0;
    const std::uint8_t* data = bytes.empty() ? &nothing : bytes.data();
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(data), bytes.size());
  }

  EvpSignature algorithm_;
};

}  // namespace halyx::test
