#include "merkle/sha256.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

namespace halyx::merkle {
namespace {

struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;

// The digest implementation, fetched once per process: a fetch per hash would cost more than the
// hash of a short node. It is never freed, so no static destructor runs after libcrypto's cleanup.
const EVP_MD* sha256_md() noexcept {
  static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  return md;
}

// SHA-256 is part of every libcrypto this project can link; failing here means the library itself
// is broken, and returning some other digest would make a wrong answer look like a verified one.
[[noreturn]] void digest_unavailable() noexcept { std::abort(); }

// One context per thread, reset for each digest: hashing a path then allocates nothing per node.
EVP_MD_CTX* thread_context() noexcept {
  thread_local const EvpMdCtx ctx(EVP_MD_CTX_new());
  return ctx.get();
}

}  // namespace

Hash32 sha256(std::initializer_list<ByteView> parts) noexcept {
  Hash32 out{};
  EVP_MD_CTX* ctx = thread_context();
  const EVP_MD* md = sha256_md();
  if (ctx == nullptr || md == nullptr || EVP_DigestInit_ex2(ctx, md, nullptr) != 1) digest_unavailable();
  for (ByteView part : parts) {
    if (!part.empty() && EVP_DigestUpdate(ctx, part.data(), part.size()) != 1) digest_unavailable();
  }
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, out.data(), &len) != 1 || len != out.size()) digest_unavailable();
  return out;
}

Hash32 sha256(ByteView data) noexcept { return sha256({data}); }

}  // namespace halyx::merkle
