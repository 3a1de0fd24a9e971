#include "serialization/signed_tree_head.hpp"

#include <algorithm>
#include <cstddef>

#include "serialization/wire_reader.hpp"

namespace halyx::wire {
namespace {

constexpr std::uint8_t MAJOR_UINT = 0;
constexpr std::uint8_t MAJOR_BSTR = 2;
constexpr std::uint8_t MAJOR_TSTR = 3;
constexpr std::uint8_t MAJOR_ARRAY = 4;

constexpr std::uint64_t ENVELOPE_ITEMS = 2;
constexpr std::uint64_t BODY_ITEMS = 5;
constexpr std::uint64_t EXTENSION_ITEMS = 2;
constexpr std::uint64_t HASH_LEN = 32;
constexpr std::uint64_t MAX_EXTENSION_TYPE = 0xFFFF;

// The smallest extension on the wire is 0x82 0x00 0x40: a pair, type 0, empty payload.
constexpr std::uint64_t MIN_EXTENSION_BYTES = 3;

// Room that covers a body without extensions (at most 88 bytes), so it is written without growing.
constexpr std::size_t BODY_RESERVE = 128;
// Envelope overhead beyond the body: 0x82, the 13-byte tag item, a body head of at most 9 bytes.
constexpr std::size_t ENVELOPE_OVERHEAD_RESERVE = 24;

// Appends the shortest head carrying `value` under major type `major`.
void append_head(ByteString& out, std::uint8_t major, std::uint64_t value) {
  const auto mt = static_cast<std::uint8_t>(major << 5);
  int arg_bytes = 0;
  if (value < 24) {
    out.push_back(static_cast<std::uint8_t>(mt | value));
    return;
  }
  if (value < 0x100) {
    out.push_back(static_cast<std::uint8_t>(mt | 24));
    arg_bytes = 1;
  } else if (value < 0x10000) {
    out.push_back(static_cast<std::uint8_t>(mt | 25));
    arg_bytes = 2;
  } else if (value < 0x100000000) {
    out.push_back(static_cast<std::uint8_t>(mt | 26));
    arg_bytes = 4;
  } else {
    out.push_back(static_cast<std::uint8_t>(mt | 27));
    arg_bytes = 8;
  }
  for (int i = arg_bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void append_bytes(ByteString& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

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

  auto log_id = r.read_bstr_n(HASH_LEN, label::LOG_ID);
  if (!log_id) return std::unexpected(log_id.error());
  sth.log_id = to_hash(*log_id);

  auto tree_size = r.read_uint(label::TREE_SIZE);
  if (!tree_size) return std::unexpected(tree_size.error());
  sth.tree_size = *tree_size;

  auto timestamp = r.read_uint(label::TIMESTAMP);
  if (!timestamp) return std::unexpected(timestamp.error());
  sth.timestamp = *timestamp;

  auto root_hash = r.read_bstr_n(HASH_LEN, label::ROOT_HASH);
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
  auto version_len = r.read_head(MAJOR_TSTR, label::ENVELOPE_VERSION_TSTR);
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
  out.reserve(BODY_RESERVE);
  append_head(out, MAJOR_ARRAY, BODY_ITEMS);
  append_head(out, MAJOR_BSTR, sth.log_id.size());
  append_bytes(out, sth.log_id);
  append_head(out, MAJOR_UINT, sth.tree_size);
  append_head(out, MAJOR_UINT, sth.timestamp);
  append_head(out, MAJOR_BSTR, sth.root_hash.size());
  append_bytes(out, sth.root_hash);
  append_head(out, MAJOR_ARRAY, sth.extensions.size());
  for (const SthExtension& ext : sth.extensions) {
    append_head(out, MAJOR_ARRAY, EXTENSION_ITEMS);
    append_head(out, MAJOR_UINT, ext.extension_type);
    append_head(out, MAJOR_BSTR, ext.extension_data.size());
    append_bytes(out, ext.extension_data);
  }
  return out;
}

ByteString encode_signed_tree_head(const SignedTreeHead& sth) {
  const ByteString body = encode_sth_body(sth);
  ByteString out;
  out.reserve(body.size() + ENVELOPE_OVERHEAD_RESERVE);
  append_head(out, MAJOR_ARRAY, ENVELOPE_ITEMS);
  append_head(out, MAJOR_TSTR, WIRE_VERSION.size());
  append_bytes(out, as_bytes(WIRE_VERSION));
  append_head(out, MAJOR_BSTR, body.size());
  append_bytes(out, body);
  return out;
}

}  // namespace halyx::wire
