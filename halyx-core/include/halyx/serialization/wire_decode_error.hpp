// wire_decode_error.hpp: what a wire-v1 decode can report, and the labels naming the field it was reading.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace halyx::wire {

// The field labels. They reach users verbatim inside messages, so they live here, once, as static
// literals; an error only ever points at one of them and never owns or builds text.
namespace label {
inline constexpr std::string_view ENVELOPE_OUTER_ARRAY = "envelope outer array";
inline constexpr std::string_view ENVELOPE_VERSION_TSTR = "envelope version tstr";
inline constexpr std::string_view ENVELOPE_BODY_BSTR = "envelope body bstr";
inline constexpr std::string_view BODY_ARRAY = "body array(5)";
inline constexpr std::string_view LOG_ID = "log_id bstr(32)";
inline constexpr std::string_view TREE_SIZE = "tree_size";
inline constexpr std::string_view TIMESTAMP = "timestamp";
inline constexpr std::string_view ROOT_HASH = "root_hash bstr(32)";
inline constexpr std::string_view EXTENSIONS_ARRAY = "extensions array";
inline constexpr std::string_view EXTENSION_PAIR = "extension pair";
inline constexpr std::string_view EXTENSION_TYPE = "extension_type";
inline constexpr std::string_view EXTENSION_DATA = "extension_data";
inline constexpr std::string_view INCLUSION_PROOF_ARRAY = "inclusion proof array(3)";
inline constexpr std::string_view LEAF_INDEX = "leaf_index";
inline constexpr std::string_view INCLUSION_PATH_ARRAY = "inclusion_path array";
inline constexpr std::string_view INCLUSION_PATH_HASH = "inclusion_path bstr(32)";
}  // namespace label

// The input ended before the item being read was complete; `offset` is where the incomplete read began.
struct UnexpectedEnd {
  std::uint64_t offset;
  std::string_view what;
  bool operator==(const UnexpectedEnd&) const = default;
};

// A head carried major type `got` (0..7) where `expected` was required; `offset` is the head byte.
struct MajorTypeMismatch {
  std::uint8_t got;
  std::uint8_t expected;
  std::uint64_t offset;
  std::string_view what;
  bool operator==(const MajorTypeMismatch&) const = default;
};

// A head's additional information was 28..31: reserved values or the indefinite-length marker.
struct InvalidArgumentInfo {
  std::uint8_t info;
  std::uint64_t offset;
  std::string_view what;
  bool operator==(const InvalidArgumentInfo&) const = default;
};

// The envelope's version text was not WIRE_VERSION; `len` is the length the input announced.
struct VersionMismatch {
  std::uint64_t offset;
  std::uint64_t len;
  bool operator==(const VersionMismatch&) const = default;
};

// An array of fixed shape announced `got` elements instead of `expected`.
struct ArrayLengthMismatch {
  std::uint64_t expected;
  std::uint64_t got;
  std::uint64_t offset;
  std::string_view what;
  bool operator==(const ArrayLengthMismatch&) const = default;
};

// A fixed-width byte string announced `got` bytes instead of `expected`.
struct BstrLengthMismatch {
  std::uint64_t expected;
  std::uint64_t got;
  std::uint64_t offset;
  std::string_view what;
  bool operator==(const BstrLengthMismatch&) const = default;
};

// A structure decoded completely but `remaining` bytes followed it.
struct TrailingGarbage {
  std::uint64_t remaining;
  bool operator==(const TrailingGarbage&) const = default;
};

// An STH extension type did not fit in 16 bits; `offset` is its head within the body.
struct ExtensionTypeTooLarge {
  std::uint64_t value;
  std::uint64_t offset;
  bool operator==(const ExtensionTypeTooLarge&) const = default;
};

using WireDecodeError = std::variant<UnexpectedEnd, MajorTypeMismatch, InvalidArgumentInfo, VersionMismatch,
                                     ArrayLengthMismatch, BstrLengthMismatch, TrailingGarbage,
                                     ExtensionTypeTooLarge>;

// Returns the display text of `e`. This is the only place these texts are written.
[[nodiscard]] std::string message(const WireDecodeError& e);

}  // namespace halyx::wire
