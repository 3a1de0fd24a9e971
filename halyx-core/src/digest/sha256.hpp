// sha256.hpp: SHA-256 (FIPS 180-4), one-shot or streamed. It sits below signing and merkle, which
// both hash, so that neither has to reach into the other for it.
//
// On processors with the x86 SHA extensions the blocks are compressed with them; elsewhere by a
// portable block function. Both give the same digests. Nothing here allocates or fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include <halyx/bytes.hpp>
#include <halyx/digest/sha256_compress.hpp>

namespace halyx::digest {

// Returns SHA-256 of `data`.
[[nodiscard]] Hash32 sha256(ByteView data) noexcept;

// Returns SHA-256 of the concatenation of `parts`, without building the concatenation.
[[nodiscard]] Hash32 sha256(std::initializer_list<ByteView> parts) noexcept;

namespace detail {

// The block function a digest runs on: the processor's SHA-256 instructions where it has them
// (Best), or the portable one (Portable) everywhere. Every caller but the tests takes Best; the
// tests take each, to check one against the other.
enum class Engine : bool { Portable, Best };

}  // namespace detail

// Returns in out[i] SHA-256 of messages[i], for four messages at once. With the SHA extensions, the
// blocks the four have in common are compressed side by side, which is faster than one message
// after another; the digests are those sha256() gives each.
void sha256_x4(std::span<const ByteView, 4> messages, std::span<Hash32, 4> out) noexcept;

// Returns how many 64-byte blocks a message of `length` bytes spans once padded: it, 0x80, zeros,
// and its length in bits in eight bytes.
[[nodiscard]] constexpr std::size_t padded_blocks(std::size_t length) noexcept { return (length + 72) / 64; }

// Writes that padding after the `length` bytes at `data`, which must have room for
// padded_blocks(length) blocks, and returns padded_blocks(length).
std::size_t pad_in_place(std::uint8_t* data, std::size_t length) noexcept;

// Returns in out[i] SHA-256 of the message whose padded blocks (pad_in_place) start at padded[i];
// all four span `blocks` blocks. As sha256_x4, without copying anything of the messages.
void sha256_x4_padded(std::span<const std::uint8_t* const, 4> padded, std::size_t blocks,
                      std::span<Hash32, 4> out) noexcept;

// Returns SHA-256 of the message whose padded blocks (pad_in_place) are the `blocks` blocks at
// `padded`.
[[nodiscard]] Hash32 sha256_padded(const std::uint8_t* padded, std::size_t blocks) noexcept;

// Returns the end h_n of the chain h_0 = start, h_{i+1} = SHA-256(prefix || l_i || r_i), where
// (l_i, r_i) is (others[i], h_i) when bit i of `other_on_left` is set and (h_i, others[i]) when it
// is clear: a walk up a Merkle tree, from a leaf's hash to the root. At most 64 links. With the x86
// SHA extensions each link's digest stays in registers to become the next link's message.
[[nodiscard]] Hash32 sha256_pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                                       std::uint64_t other_on_left) noexcept;

namespace detail {

// The four functions above on the block function `engine` names.
void sha256_x4(std::span<const ByteView, 4> messages, std::span<Hash32, 4> out, Engine engine) noexcept;
void sha256_x4_padded(std::span<const std::uint8_t* const, 4> padded, std::size_t blocks, std::span<Hash32, 4> out,
                      Engine engine) noexcept;
[[nodiscard]] Hash32 sha256_padded(const std::uint8_t* padded, std::size_t blocks, Engine engine) noexcept;
[[nodiscard]] Hash32 sha256_pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                                       std::uint64_t other_on_left, Engine engine) noexcept;

// A message as the block function takes it: its whole blocks where they stand, then its last bytes
// and the padding copied into one or two blocks of its own.
class PaddedMessage {
 public:
  explicit PaddedMessage(ByteView message) noexcept;

  [[nodiscard]] std::size_t blocks() const noexcept { return whole_ + tail_blocks_; }
  [[nodiscard]] const std::uint8_t* block(std::size_t k) const noexcept {
    return k < whole_ ? data_ + k * SHA256_BLOCK : tail_.data() + (k - whole_) * SHA256_BLOCK;
  }

 private:
  const std::uint8_t* data_;
  std::size_t whole_, tail_blocks_ = 1;
  std::array<std::uint8_t, 2 * SHA256_BLOCK> tail_;  // only the first tail_blocks_ blocks are used
};

}  // namespace detail

// SHA-256 of one message, taken in step with a chain of short hashes in which each waits on the
// one before: the nodes of a Merkle walk. Such a chain alone leaves the SHA instructions idle for
// part of each round, waiting on its result; the message's blocks run beside it in that time, so
// that the two cost little more than the chain alone. Where a processor has no SHA instructions, the
// two are simply hashed one after the other. Allocates nothing.
class Sha256Beside {
 public:
  // `message` must outlive this object.
  explicit Sha256Beside(ByteView message, detail::Engine engine = detail::Engine::Best) noexcept;

  // Returns sha256_padded(padded, blocks), taking as many of the message's blocks beside it as are left.
  [[nodiscard]] Hash32 hash_padded(const std::uint8_t* padded, std::size_t blocks) noexcept;
  // Returns sha256_pair_chain(prefix, start, others, other_on_left), taking up to two of the message's
  // blocks beside each link.
  [[nodiscard]] Hash32 pair_chain(std::uint8_t prefix, const Hash32& start, std::span<const Hash32> others,
                                  std::uint64_t other_on_left) noexcept;
  // Returns the message's digest, after its blocks that are left. The object must not be used afterwards.
  [[nodiscard]] Hash32 finish() noexcept;

 private:
  detail::PaddedMessage message_;
  std::size_t next_ = 0;  // the message's first block not yet compressed
  detail::Sha256State state_ = detail::SHA256_INITIAL_STATE;
  bool hardware_;
};

// A digest fed in pieces; holds 112 bytes and allocates nothing.
class Sha256 {
 public:
  explicit Sha256(detail::Engine engine = detail::Engine::Best) noexcept;

  void update(ByteView data) noexcept;
  // Returns the digest of everything fed so far. The object must not be used afterwards.
  [[nodiscard]] Hash32 finish() noexcept;

  // Whether this processor has the SHA extensions.
  [[nodiscard]] static bool hardware_available() noexcept;

 private:
  static constexpr std::size_t BLOCK = 64;

  void compress(const std::uint8_t* blocks, std::size_t count) noexcept;

  bool hardware_;
  std::size_t buffered_ = 0;
  std::array<std::uint8_t, BLOCK> buffer_;  // the current partial block
  std::array<std::uint32_t, 8> state_;      // the chaining value
  std::uint64_t length_ = 0;                // bytes fed so far
};

}  // namespace halyx::digest
