// decode.hpp: the strict deterministic-CBOR decoder.
#pragma once

#include <expected>

#include <halyx/dcbor/cbor_error.hpp>
#include <halyx/dcbor/value.hpp>

namespace halyx::dcbor {

// Returns the one data item that spans all of `input`, or the first fault in byte order
// (depth first; a map key and its value are decoded before the key's order is judged).
// Refuses everything that is not in deterministic form: non-shortest heads, indefinite
// lengths, simple values other than false/true/null, floats with a shorter or integer form,
// ill-formed UTF-8, text not in NFC, map keys out of order or repeated, trailing bytes, and
// more than MAX_NESTING_DEPTH nested arrays, maps and tags.
//
// An accepted integral float within the integer range of its width comes back as an
// integer, so re-encoding gives exactly `input` except for such numbers.
[[nodiscard]] std::expected<CborValue, CborError> decode_dcbor(ByteView input);

}  // namespace halyx::dcbor
