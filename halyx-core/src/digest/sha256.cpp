#include "digest/sha256.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "digest/sha256_compress.hpp"

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

}  // namespace

bool Sha256::native_available() noexcept {
  static const bool available = detail::cpu_has_sha_ni();
  return available;
}

Sha256::Sha256(bool native) : native_(native && native_available()) {
  if (native_) {
    state_ = detail::SHA256_INITIAL_STATE;
    return;
  }
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
  if (ctx_ == nullptr) return;
  if (owns_ctx_) {
    EVP_MD_CTX_free(ctx_);
  } else {
    thread_context_storage().busy = false;
  }
  ctx_ = nullptr;
}

void Sha256::flush_to_library() {
  if (buffered_ != 0 && EVP_DigestUpdate(ctx_, buffer_.data(), buffered_) != 1) out_of_memory();
  buffered_ = 0;
}

void Sha256::update(ByteView data) {
  if (native_) {
    length_ += data.size();
    if (buffered_ != 0) {
      const std::size_t take = std::min(BLOCK - buffered_, data.size());
      if (take != 0) std::memcpy(buffer_.data() + buffered_, data.data(), take);
      buffered_ += take;
      data = data.subspan(take);
      if (buffered_ < BLOCK) return;
      detail::compress_sha_ni(state_, buffer_.data(), 1);
      buffered_ = 0;
    }
    const std::size_t whole = data.size() / BLOCK;
    if (whole != 0) detail::compress_sha_ni(state_, data.data(), whole);
    data = data.subspan(whole * BLOCK);
    if (!data.empty()) std::memcpy(buffer_.data(), data.data(), data.size());
    buffered_ = data.size();
    return;
  }
  if (data.size() <= buffer_.size() - buffered_) {
    if (!data.empty()) std::memcpy(buffer_.data() + buffered_, data.data(), data.size());
    buffered_ += data.size();
    return;
  }
  flush_to_library();
  if (data.size() < buffer_.size()) {
    std::memcpy(buffer_.data(), data.data(), data.size());
    buffered_ = data.size();
    return;
  }
  if (EVP_DigestUpdate(ctx_, data.data(), data.size()) != 1) out_of_memory();
}

Hash32 Sha256::finish() {
  Hash32 out{};
  if (native_) {
    // Padding: 0x80, zeros up to 56 bytes into a block, then the length in bits, big-endian.
    const std::uint64_t bits = __builtin_bswap64(length_ * 8);
    buffer_[buffered_++] = 0x80;
    if (buffered_ > BLOCK - 8) {
      std::memset(buffer_.data() + buffered_, 0, BLOCK - buffered_);
      detail::compress_sha_ni(state_, buffer_.data(), 1);
      buffered_ = 0;
    }
    std::memset(buffer_.data() + buffered_, 0, BLOCK - 8 - buffered_);
    std::memcpy(buffer_.data() + BLOCK - 8, &bits, 8);
    detail::compress_sha_ni(state_, buffer_.data(), 1);
    for (std::size_t i = 0; i < state_.size(); ++i) {
      const std::uint32_t big_endian = __builtin_bswap32(state_[i]);
      std::memcpy(out.data() + 4 * i, &big_endian, 4);
    }
    return out;
  }
  flush_to_library();
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
