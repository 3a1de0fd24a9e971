// encode.hpp: the canonical (deterministic) encoding of CborValue.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "value.hpp"

namespace dcbor {

// Returns the canonical encoding of `value`: shortest heads, definite lengths, map entries
// in key-encoding order, texts in NFC, numbers in their shortest exact form. Cannot fail.
[[nodiscard]] ByteString encode_dcbor(const CborValue& value);

// Appends the canonical encoding of `value` to `out`.
void append_dcbor(ByteString& out, const CborValue& value);

// Writes the shortest head of major type `major` (0-7) and `argument` to `out`; returns
// its length, 1 to 9.
[[nodiscard]] std::size_t encode_head(std::uint8_t major, std::uint64_t argument,
                                      std::array<std::uint8_t, 9>& out) noexcept;

// Appends the shortest head of `major` and `argument`.
void append_head(ByteString& out, std::uint8_t major, std::uint64_t argument);

// Appends `text` as a Text item: normalised to NFC (ill-formed UTF-8 replaced by U+FFFD),
// then its head and bytes.
void append_text(ByteString& out, std::string_view text);

// Whether `text` is written unchanged by the encoder: well-formed UTF-8 that the NFC quick
// check passes outright.
[[nodiscard]] bool is_canonical_text(std::string_view text) noexcept;

}  // namespace dcbor
