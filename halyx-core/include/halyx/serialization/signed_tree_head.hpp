// signed_tree_head.hpp: the signed tree head record and its wire-v1 envelope codec.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/serialization/wire_decode_error.hpp>

namespace halyx::wire {

// The version tag that opens every wire-v1 STH envelope. It reads the same as the signature context,
// but the two are separate constants: one names the format, the other the signing domain.
inline constexpr std::string_view WIRE_VERSION = "HALYX-STH-v1";

// One typed extension of a tree head. Types are not interpreted; extensions exist to be re-encoded.
struct SthExtension {
  std::uint16_t extension_type = 0;
  ByteString extension_data;  // owned copy of the payload
  bool operator==(const SthExtension&) const = default;
};

// A decoded STH body. It owns all its data and refers to no input buffer; no field is checked for
// meaning (a tree size of 0, any timestamp, repeated extension types are all kept as read).
struct SignedTreeHead {
  Hash32 log_id{};
  std::uint64_t tree_size = 0;
  std::uint64_t timestamp = 0;  // milliseconds since the Unix epoch
  Hash32 root_hash{};
  std::vector<SthExtension> extensions;  // in input order
  bool operator==(const SignedTreeHead&) const = default;
};

// One extension as it stands in the input it was read from.
struct SthExtensionRef {
  std::uint16_t extension_type = 0;
  ByteView extension_data;
};

// A tree head read in place: the fixed fields, and the extensions left in the input, every one of
// them already checked. It borrows the input, so it lives no longer than the bytes it was read from.
// Reading one costs no memory whatever the number of extensions; decoding a record costs some for
// each (an STH of 60 MB can hold 20 million).
struct SignedTreeHeadView {
  Hash32 log_id{};
  std::uint64_t tree_size = 0;
  std::uint64_t timestamp = 0;
  Hash32 root_hash{};
  std::uint64_t extension_count = 0;
  ByteView extension_items;  // the extension pairs as they stand in the body, heads included
};

// Walks the extensions of a view, in input order.
class SthExtensionCursor {
 public:
  explicit SthExtensionCursor(const SignedTreeHeadView& sth) noexcept : rest_(sth.extension_items) {}

  // Returns the next extension, or nothing after the last.
  [[nodiscard]] std::optional<SthExtensionRef> next();

 private:
  ByteView rest_;
};

// Returns a complete wire-v1 STH envelope read in place. Errors: any WireDecodeError; offsets of
// errors inside the body count from the body's first byte. The checks and errors are those of
// decode_signed_tree_head, which is built on this.
[[nodiscard]] std::expected<SignedTreeHeadView, WireDecodeError> read_signed_tree_head(ByteView bytes);

// Returns the length of the envelope that encode_signed_tree_head would write for the record `sth`
// holds. Every head is re-encoded in its shortest form and nothing else changes, so the length
// equals the input's exactly when the input was already its own canonical encoding.
[[nodiscard]] std::uint64_t encoded_length(const SignedTreeHeadView& sth);

// Returns the record held by a complete wire-v1 STH envelope. Errors: any WireDecodeError; offsets
// of errors inside the body count from the body's first byte. Heads need not be shortest-form, so a
// decoded record may re-encode to other bytes than `bytes`.
[[nodiscard]] std::expected<SignedTreeHead, WireDecodeError> decode_signed_tree_head(ByteView bytes);

// Returns the body array alone, with shortest-form heads.
[[nodiscard]] ByteString encode_sth_body(const SignedTreeHead& sth);

// Returns the envelope around encode_sth_body(sth), with shortest-form heads. Its bytes equal a
// decoded input exactly when every head of that input was already shortest.
[[nodiscard]] ByteString encode_signed_tree_head(const SignedTreeHead& sth);

}  // namespace halyx::wire
