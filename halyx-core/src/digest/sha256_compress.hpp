// sha256_compress.hpp: the SHA-256 block function, for sha256.cpp: with the x86 SHA extensions
// or the ARMv8 SHA-2 instructions where the processor has them, and in portable C++ everywhere
// else. All compute the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/bytes.hpp>

namespace halyx::digest::detail {

using Sha256State = std::array<std::uint32_t, 8>;

// The initial hash value H(0) of FIPS 180-4.
inline constexpr Sha256State SHA256_INITIAL_STATE = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
inline constexpr std::size_t SHA256_BLOCK = 64;

// Whether this processor has the SHA extensions and SSE4.1, which compress_sha_ni needs (x86-64;
// false elsewhere).
[[nodiscard]] bool cpu_has_sha_ni() noexcept;
// Whether the kernel reports the ARMv8 SHA-2 instructions (HWCAP_SHA2), which compress_armv8
// needs (aarch64; false elsewhere).
[[nodiscard]] bool cpu_has_armv8_sha2() noexcept;

// Whether this processor has SHA-256 instructions of either kind; compress_hw and compress_hw_x4
// use them, and run only where this holds.
[[nodiscard]] bool cpu_has_sha256_instructions() noexcept;

// Apply the block function to `state` for each of the `count` 64-byte blocks at `blocks`.
// compress_sha_ni only where cpu_has_sha_ni() holds; compress_portable anywhere.
void compress_sha_ni(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept;
void compress_portable(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept;

// Four independent chains side by side: for each k < count, blocks[k][lane] is compressed into
// states[lane]. Only where cpu_has_sha_ni() holds. One chain waits on each round's result before
// the next; four in flight keep the SHA unit busy meanwhile.
inline constexpr std::size_t SHA256_LANES = 4;
using BlockQuad = std::array<const std::uint8_t*, SHA256_LANES>;
void compress_sha_ni_x4(std::array<Sha256State, SHA256_LANES>& states, const BlockQuad* blocks,
                        std::size_t count) noexcept;
// Two chains the same way, for a chain that waits on each of its results (a Merkle walk) with one
// other message beside it.
using BlockPair = std::array<const std::uint8_t*, 2>;
void compress_sha_ni_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks, std::size_t count) noexcept;

// The chain of sha256_pair_chain (sha256.hpp) with the SHA extensions, from h and into it: count links
// over others[0..count). With `beside`, the blocks beside_blocks[0..beside_count) also go into
// *beside, two beside each link, the rest left to the caller. Only where cpu_has_sha_ni() holds.
void pair_chain_sha_ni(std::uint8_t prefix, Hash32& h, const Hash32* others, std::size_t count,
                       std::uint64_t other_on_left, Sha256State* beside, const std::uint8_t* const* beside_blocks,
                       std::size_t beside_count) noexcept;

// The same two with the ARMv8 SHA-2 instructions, only where cpu_has_armv8_sha2() holds.
void compress_armv8(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept;
void compress_armv8_x4(std::array<Sha256State, SHA256_LANES>& states, const BlockQuad* blocks,
                       std::size_t count) noexcept;
void compress_armv8_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks, std::size_t count) noexcept;

// compress_sha_ni or compress_armv8, as this architecture has; and the four- and two-chain ones.
void compress_hw(Sha256State& state, const std::uint8_t* blocks, std::size_t count) noexcept;
void compress_hw_x4(std::array<Sha256State, SHA256_LANES>& states, const BlockQuad* blocks, std::size_t count) noexcept;
void compress_hw_x2(std::array<Sha256State, 2>& states, const BlockPair* blocks, std::size_t count) noexcept;

}  // namespace halyx::digest::detail
