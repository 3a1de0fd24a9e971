// encode.hpp: the canonical (deterministic) encoding of CborValue.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include <halyx/dcbor/cbor_head.hpp>
#include <halyx/dcbor/value.hpp>

namespace halyx::dcbor {

// Returns the canonical encoding of `value`: shortest heads, definite lengths, map entries
// in key-encoding order, texts in NFC, numbers in their shortest exact form. Cannot fail.
[[nodiscard]] ByteString encode_dcbor(const CborValue& value);

// Appends the canonical encoding of `value` to `out`.
void append_dcbor(ByteString& out, const CborValue& value);

// Appends the shortest head of `major` and `argument`.
void append_head(ByteString& out, std::uint8_t major, std::uint64_t argument);

// Appends `text` as a Text item: normalised to NFC (ill-formed UTF-8 replaced by U+FFFD),
// then its head and bytes.
void append_text(ByteString& out, std::string_view text);

// Whether `text` is written unchanged by the encoder: well-formed UTF-8 in NFC. Constant memory
// whatever the text.
[[nodiscard]] bool is_canonical_text(std::string_view text);

}  // namespace halyx::dcbor
