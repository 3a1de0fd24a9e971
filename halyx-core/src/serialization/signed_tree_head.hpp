// signed_tree_head.hpp: the signed tree head record and its wire-v1 envelope codec.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "serialization/wire_decode_error.hpp"

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
