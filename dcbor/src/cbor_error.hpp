// cbor_error.hpp: what a deterministic-CBOR decode can report.
#pragma once

#include <cstdint>
#include <string>

namespace halyx::dcbor {

// How deep arrays, maps and tags may nest in decoded input. Far above any record this
// library is meant for, and far below what would threaten the stack.
inline constexpr unsigned MAX_NESTING_DEPTH = 256;

enum class CborErrorKind : std::uint8_t {
  Truncated,          // input ends inside an item; empty input
  ReservedHeader,     // additional information 28-31 (indefinite lengths, break)
  NonShortestNumber,  // a head or float that has a shorter or integer form; a non-canonical NaN
  BadSimpleValue,     // a simple value other than false, true, null or a float
  BadUtf8,            // text that is not well-formed UTF-8
  NotNfc,             // text that is not in Normalization Form C
  TrailingBytes,      // bytes after the top-level item
  KeyOrder,           // a map key encoding not above the previous one
  DuplicateKey,       // a map key encoding seen before in the same map
  NestingTooDeep,     // a container opened inside MAX_NESTING_DEPTH others, even an empty one
};

// Where a text's content stops being well-formed UTF-8.
struct Utf8Fault {
  std::uint64_t valid_up_to = 0;  // bytes of the content before the fault, all well-formed
  // Length (1 to 3) of the maximal ill-formed subsequence at valid_up_to, or 0 when the
  // content ends inside a sequence that was valid so far.
  std::uint8_t error_length = 0;

  friend bool operator==(const Utf8Fault&, const Utf8Fault&) = default;
};

// One error: the kind, and the payload only the kinds that show one use.
struct CborError {
  CborErrorKind kind = CborErrorKind::Truncated;
  std::uint64_t extra_bytes = 0;  // TrailingBytes
  Utf8Fault utf8{};               // BadUtf8

  static CborError of(CborErrorKind k) noexcept { return CborError{k, 0, {}}; }
  static CborError trailing_bytes(std::uint64_t n) noexcept {
    return CborError{CborErrorKind::TrailingBytes, n, {}};
  }
  static CborError bad_utf8(Utf8Fault f) noexcept { return CborError{CborErrorKind::BadUtf8, 0, f}; }

  friend bool operator==(const CborError&, const CborError&) = default;
};

// Returns the display text of `e`. The only place these texts are written.
[[nodiscard]] std::string message(const CborError& e);

}  // namespace halyx::dcbor
