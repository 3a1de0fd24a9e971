// sha256.hpp: one-shot SHA-256 (FIPS 180-4) from libcrypto.
#pragma once

#include <initializer_list>

#include "bytes.hpp"

namespace halyx::merkle {

// Returns SHA-256 of `data`.
[[nodiscard]] Hash32 sha256(ByteView data) noexcept;

// Returns SHA-256 of the concatenation of `parts`, without building the concatenation.
[[nodiscard]] Hash32 sha256(std::initializer_list<ByteView> parts) noexcept;

}  // namespace halyx::merkle
