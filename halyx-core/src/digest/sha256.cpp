#include "digest/sha256.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace halyx::digest {
namespace {

struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;

// SHA-256 is part of every libcrypto this project links, so a failing call can only mean the library
// could not allocate. It is reported as such, never answered with some other digest: a wrong hash
// would make a forged leaf look verified.
[[noreturn]] void out_of_memory() {
  ERR_clear_error();
  throw std::bad_alloc();
}

// The digest implementation, fetched once per process: a fetch per hash would cost more than the
// hash of a short node. A failed fetch is not remembered, so the next call tries again. The fetched
// object is never freed, so no static destructor runs after libcrypto's own cleanup.
const EVP_MD* sha256_md() {
  static std::atomic<EVP_MD*> md{nullptr};
  if (EVP_MD* m = md.load(std::memory_order_acquire)) return m;
  EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  if (fetched == nullptr) out_of_memory();
  EVP_MD* expected = nullptr;
  if (!md.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel)) {
    EVP_MD_free(fetched);  // another thread stored its own first
    return expected;
  }
  return fetched;
}

// One context per thread, reset for each digest: hashing a path then allocates nothing per node. It
// is made on first use, and again after a failed attempt.
struct ThreadContext {
  EvpMdCtx ctx;
  bool busy = false;
};

ThreadContext& thread_context_storage() noexcept {
  thread_local ThreadContext tc;
  return tc;
}

ThreadContext& thread_context() {
  ThreadContext& tc = thread_context_storage();
  if (!tc.ctx) {
    tc.ctx.reset(EVP_MD_CTX_new());
    if (!tc.ctx) out_of_memory();
  }
  return tc;
}

bool& thread_busy() noexcept { return thread_context_storage().busy; }

}  // namespace

Sha256::Sha256() {
  const EVP_MD* md = sha256_md();
  ThreadContext& tc = thread_context();
  owns_ctx_ = tc.busy;
  if (owns_ctx_) {
    ctx_ = EVP_MD_CTX_new();
    if (ctx_ == nullptr) out_of_memory();
  } else {
    ctx_ = tc.ctx.get();
    tc.busy = true;
  }
  if (EVP_DigestInit_ex2(ctx_, md, nullptr) != 1) {
    release();  // a throwing constructor runs no destructor
    out_of_memory();
  }
}

Sha256::~Sha256() { release(); }

void Sha256::release() noexcept {
  if (owns_ctx_) {
    EVP_MD_CTX_free(ctx_);
  } else {
    thread_busy() = false;
  }
}

void Sha256::flush() {
  if (buffered_ != 0 && EVP_DigestUpdate(ctx_, buffer_.data(), buffered_) != 1) out_of_memory();
  buffered_ = 0;
}

void Sha256::update(ByteView data) {
  if (data.size() <= buffer_.size() - buffered_) {
    if (!data.empty()) std::memcpy(buffer_.data() + buffered_, data.data(), data.size());
    buffered_ += data.size();
    return;
  }
  flush();
  if (data.size() < buffer_.size()) {
    std::memcpy(buffer_.data(), data.data(), data.size());
    buffered_ = data.size();
    return;
  }
  if (EVP_DigestUpdate(ctx_, data.data(), data.size()) != 1) out_of_memory();
}

Hash32 Sha256::finish() {
  flush();
  Hash32 out{};
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1 || len != out.size()) out_of_memory();
  return out;
}

Hash32 sha256(std::initializer_list<ByteView> parts) {
  Sha256 h;
  for (ByteView part : parts) h.update(part);
  return h.finish();
}

Hash32 sha256(ByteView data) { return sha256({data}); }

}  // namespace halyx::digest
