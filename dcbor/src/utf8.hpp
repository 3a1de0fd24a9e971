// utf8.hpp: UTF-8 well-formedness, as the Unicode standard defines it.
#pragma once

#include <optional>
#include <string_view>

#include "cbor_error.hpp"

namespace dcbor {

// Returns the first fault of `text` as UTF-8, or nothing when it is well-formed: no
// overlong forms, no surrogates, nothing above U+10FFFF. The fault's length is that of the
// maximal ill-formed subsequence (the longest prefix of a valid sequence that the input
// starts), so callers that resume after it agree with every conforming decoder.
[[nodiscard]] std::optional<Utf8Fault> find_utf8_fault(std::string_view text) noexcept;

// Whether every byte of `text` is below 0x80: then it is well-formed UTF-8 and in NFC, and
// needs no further look.
[[nodiscard]] bool is_ascii(std::string_view text) noexcept;

}  // namespace dcbor
