// sha256.hpp: SHA-256 (FIPS 180-4), one-shot or streamed. It sits below signing and merkle, which
// both hash, so that neither has to reach into the other for it.
//
// On processors with the x86 SHA extensions the blocks are compressed here; elsewhere libcrypto
// does the work. Both give the same digests; only the cost of a short input differs. Running out of
// memory inside libcrypto is reported as std::bad_alloc, like any other allocation failure of the
// core: the caller's process must never be ended for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "bytes.hpp"

struct evp_md_ctx_st;

namespace halyx::digest {

// Returns SHA-256 of `data`.
[[nodiscard]] Hash32 sha256(ByteView data);

// Returns SHA-256 of the concatenation of `parts`, without building the concatenation.
[[nodiscard]] Hash32 sha256(std::initializer_list<ByteView> parts);

// A digest fed in pieces; allocates nothing per digest. Small pieces are gathered in a buffer, so a
// record written a few bytes at a time costs about what one contiguous buffer would.
class Sha256 {
 public:
  // Whether this process compresses blocks itself (true where the SHA extensions exist); false
  // sends every digest through libcrypto. For tests, which check both ways against each other.
  explicit Sha256(bool native = native_available());
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void update(ByteView data);
  // Returns the digest of everything fed so far. The object must not be used afterwards.
  [[nodiscard]] Hash32 finish();

  [[nodiscard]] static bool native_available() noexcept;

 private:
  static constexpr std::size_t BLOCK = 64;

  void flush_to_library();
  void release() noexcept;

  bool native_;
  std::size_t buffered_ = 0;
  std::array<std::uint8_t, 512> buffer_;  // native: the current partial block; library: gathered bytes
  // Native: the chaining value and the message length so far.
  std::array<std::uint32_t, 8> state_;
  std::uint64_t length_ = 0;
  // Library: the context, the thread's own unless another digest on this thread holds it.
  evp_md_ctx_st* ctx_ = nullptr;
  bool owns_ctx_ = false;
};

}  // namespace halyx::digest
