// sha256.hpp: SHA-256 (FIPS 180-4) from libcrypto, one-shot or streamed. It sits below signing and
// merkle, which both hash, so that neither has to reach into the other for it.
//
// Running out of memory inside libcrypto is reported as std::bad_alloc, like any other allocation
// failure of the core: the caller's process must never be ended for it.
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

// A digest fed in pieces. Small pieces are gathered in a buffer first, so a record written a few
// bytes at a time costs about what one contiguous buffer would; large pieces go straight through.
// Allocates nothing per digest (each thread keeps a library context to reuse).
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void update(ByteView data);
  // Returns the digest of everything fed so far. The object must not be used afterwards.
  [[nodiscard]] Hash32 finish();

 private:
  void flush();
  void release() noexcept;

  evp_md_ctx_st* ctx_;
  bool owns_ctx_;  // another digest on this thread holds the shared context
  std::size_t buffered_ = 0;
  std::array<std::uint8_t, 512> buffer_;
};

}  // namespace halyx::digest
