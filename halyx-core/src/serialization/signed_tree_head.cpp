#include "serialization/signed_tree_head.hpp"

#include <algorithm>
#include <cstddef>

#include "cbor_head.hpp"
#include "encode.hpp"
#include "serialization/wire_reader.hpp"

namespace halyx::wire {
namespace {

constexpr std::uint64_t ENVELOPE_ITEMS = 2;
constexpr std::uint64_t BODY_ITEMS = 5;
constexpr std::uint64_t EXTENSION_ITEMS = 2;
constexpr std::uint64_t MAX_EXTENSION_TYPE = 0xFFFF;

// The smallest extension on the wire is 0x82 0x00 0x40: a pair, type 0, empty payload.
constexpr std::uint64_t MIN_EXTENSION_BYTES = 3;

using dcbor::append_head;
using dcbor::shortest_head_length;

void append_bytes(ByteString& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Returns the length of the body encode_sth_body writes, so that it is written without growing.
std::size_t body_length(const SignedTreeHead& sth) {
  std::size_t n = 1 + 2 * (shortest_head_length(HASH_LENGTH) + HASH_LENGTH) + shortest_head_length(sth.tree_size) +
                  shortest_head_length(sth.timestamp) + shortest_head_length(sth.extensions.size());
  for (const SthExtension& ext : sth.extensions) {
    n += 1 + shortest_head_length(ext.extension_type) + shortest_head_length(ext.extension_data.size()) +
         ext.extension_data.size();
  }
  return n;
}

void append_body(ByteString& out, const SignedTreeHead& sth) {
  append_head(out, dcbor::MAJOR_ARRAY, BODY_ITEMS);
  append_head(out, dcbor::MAJOR_BYTES, sth.log_id.size());
  append_bytes(out, sth.log_id);
  append_head(out, dcbor::MAJOR_UNSIGNED, sth.tree_size);
  append_head(out, dcbor::MAJOR_UNSIGNED, sth.timestamp);
  append_head(out, dcbor::MAJOR_BYTES, sth.root_hash.size());
  append_bytes(out, sth.root_hash);
  append_head(out, dcbor::MAJOR_ARRAY, sth.extensions.size());
  for (const SthExtension& ext : sth.extensions) {
    append_head(out, dcbor::MAJOR_ARRAY, EXTENSION_ITEMS);
    append_head(out, dcbor::MAJOR_UNSIGNED, ext.extension_type);
    append_head(out, dcbor::MAJOR_BYTES, ext.extension_data.size());
    append_bytes(out, ext.extension_data);
  }
}

Hash32 to_hash(ByteView exactly_32) {
  Hash32 h{};
  std::copy(exactly_32.begin(), exactly_32.end(), h.begin());
  return h;
}

// Decodes the body array; `body` is its own input, so error offsets count from its first byte.
std::expected<SignedTreeHead, WireDecodeError> decode_body(ByteView body) {
  WireReader r(body);
  SignedTreeHead sth;

  if (auto ok = r.read_array_n(BODY_ITEMS, label::BODY_ARRAY); !ok) return std::unexpected(ok.error());

  auto log_id = r.read_bstr_n(HASH_LENGTH, label::LOG_ID);
  if (!log_id) return std::unexpected(log_id.error());
  sth.log_id = to_hash(*log_id);

  auto tree_size = r.read_uint(label::TREE_SIZE);
  if (!tree_size) return std::unexpected(tree_size.error());
  sth.tree_size = *tree_size;

  auto timestamp = r.read_uint(label::TIMESTAMP);
  if (!timestamp) return std::unexpected(timestamp.error());
  sth.timestamp = *timestamp;

  auto root_hash = r.read_bstr_n(HASH_LENGTH, label::ROOT_HASH);
  if (!root_hash) return std::unexpected(root_hash.error());
  sth.root_hash = to_hash(*root_hash);

  auto count = r.read_array_len(label::EXTENSIONS_ARRAY);
  if (!count) return std::unexpected(count.error());
  // The count is unchecked input: reserve only what the rest of the body could actually hold, and
  // let a count it cannot back end at the first missing byte.
  sth.extensions.reserve(static_cast<std::size_t>(std::min(*count, r.remaining() / MIN_EXTENSION_BYTES)));
  for (std::uint64_t i = 0; i < *count; ++i) {
    if (auto ok = r.read_array_n(EXTENSION_ITEMS, label::EXTENSION_PAIR); !ok) return std::unexpected(ok.error());
    const std::uint64_t type_offset = r.position();
    auto type = r.read_uint(label::EXTENSION_TYPE);
    if (!type) return std::unexpected(type.error());
    // Refused before the payload is read, so the offset names the type, not what follows it.
    if (*type > MAX_EXTENSION_TYPE) return std::unexpected(ExtensionTypeTooLarge{*type, type_offset});
    auto data = r.read_bstr(label::EXTENSION_DATA);
    if (!data) return std::unexpected(data.error());
    sth.extensions.push_back(SthExtension{static_cast<std::uint16_t>(*type), ByteString(data->begin(), data->end())});
  }

  if (r.remaining() != 0) return std::unexpected(TrailingGarbage{r.remaining()});
  return sth;
}

}  // namespace

std::expected<SignedTreeHead, WireDecodeError> decode_signed_tree_head(ByteView bytes) {
  WireReader r(bytes);
  if (auto ok = r.read_array_n(ENVELOPE_ITEMS, label::ENVELOPE_OUTER_ARRAY); !ok) return std::unexpected(ok.error());

  const std::uint64_t version_offset = r.position();
  auto version_len = r.read_head(dcbor::MAJOR_TEXT, label::ENVELOPE_VERSION_TSTR);
  if (!version_len) return std::unexpected(version_len.error());
  // Taken before it is compared, so a length running past the input is reported as the end of input.
  auto version = r.read_bytes(*version_len, label::ENVELOPE_VERSION_TSTR);
  if (!version) return std::unexpected(version.error());
  // Compared as bytes: the tag is an identifier, not text, and is never checked as UTF-8.
  if (!std::ranges::equal(*version, as_bytes(WIRE_VERSION))) {
    return std::unexpected(VersionMismatch{version_offset, *version_len});
  }

  auto body = r.read_bstr(label::ENVELOPE_BODY_BSTR);
  if (!body) return std::unexpected(body.error());
  // The envelope must be complete before a single body byte is trusted enough to be parsed.
  if (r.remaining() != 0) return std::unexpected(TrailingGarbage{r.remaining()});

  return decode_body(*body);
}

ByteString encode_sth_body(const SignedTreeHead& sth) {
  ByteString out;
  out.reserve(body_length(sth));
  append_body(out, sth);
  return out;
}

ByteString encode_signed_tree_head(const SignedTreeHead& sth) {
  // One buffer of exactly the envelope's length: the body is written in place behind its head.
  const std::size_t body = body_length(sth);
  ByteString out;
  out.reserve(1 + shortest_head_length(WIRE_VERSION.size()) + WIRE_VERSION.size() + shortest_head_length(body) + body);
  append_head(out, dcbor::MAJOR_ARRAY, ENVELOPE_ITEMS);
  append_head(out, dcbor::MAJOR_TEXT, WIRE_VERSION.size());
  append_bytes(out, as_bytes(WIRE_VERSION));
  append_head(out, dcbor::MAJOR_BYTES, body);
  append_body(out, sth);
  return out;
}

}  // namespace halyx::wire
