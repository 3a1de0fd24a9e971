#include <halyx/serialization/signed_tree_head.hpp>

#include <algorithm>
#include <cstddef>

#include <halyx/dcbor/cbor_head.hpp>
#include <halyx/dcbor/encode.hpp>
#include <halyx/serialization/wire_reader.hpp>

namespace halyx::wire {
namespace {

constexpr std::uint64_t ENVELOPE_ITEMS = 2;
constexpr std::uint64_t BODY_ITEMS = 5;
constexpr std::uint64_t EXTENSION_ITEMS = 2;
constexpr std::uint64_t MAX_EXTENSION_TYPE = 0xFFFF;


using dcbor::append_head;
using dcbor::shortest_head_length;

void append_bytes(ByteString& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// The length of one extension pair with shortest heads.
std::size_t extension_length(std::uint64_t type, std::size_t data_size) {
  return 1 + shortest_head_length(type) + shortest_head_length(data_size) + data_size;
}

// The length of the body's fixed fields and the head of its extension array.
std::size_t fixed_body_length(std::uint64_t tree_size, std::uint64_t timestamp, std::uint64_t extension_count) {
  return 1 + 2 * (shortest_head_length(HASH_LENGTH) + HASH_LENGTH) + shortest_head_length(tree_size) +
         shortest_head_length(timestamp) + shortest_head_length(extension_count);
}

// The length of the envelope around a body of `body` bytes.
std::size_t envelope_length(std::size_t body) {
  return 1 + shortest_head_length(WIRE_VERSION.size()) + WIRE_VERSION.size() + shortest_head_length(body) + body;
}

// Returns the length of the body encode_sth_body writes, so that it is written without growing.
std::size_t body_length(const SignedTreeHead& sth) {
  std::size_t n = fixed_body_length(sth.tree_size, sth.timestamp, sth.extensions.size());
  for (const SthExtension& ext : sth.extensions) n += extension_length(ext.extension_type, ext.extension_data.size());
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

// Reads the body array; `body` is its own input, so error offsets count from its first byte.
std::expected<SignedTreeHeadView, WireDecodeError> read_body(ByteView body) {
  WireReader r(body);
  SignedTreeHeadView sth;

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
  // Each extension is checked and left where it is: the count is trusted only once the input has
  // shown every element it announced.
  const std::uint64_t items_at = r.position();
  for (std::uint64_t i = 0; i < *count; ++i) {
    if (auto ok = r.read_array_n(EXTENSION_ITEMS, label::EXTENSION_PAIR); !ok) return std::unexpected(ok.error());
    const std::uint64_t type_offset = r.position();
    auto type = r.read_uint(label::EXTENSION_TYPE);
    if (!type) return std::unexpected(type.error());
    // Refused before the payload is read, so the offset names the type, not what follows it.
    if (*type > MAX_EXTENSION_TYPE) return std::unexpected(ExtensionTypeTooLarge{*type, type_offset});
    auto data = r.read_bstr(label::EXTENSION_DATA);
    if (!data) return std::unexpected(data.error());
  }
  sth.extension_count = *count;
  sth.extension_items =
      body.subspan(static_cast<std::size_t>(items_at), static_cast<std::size_t>(r.position() - items_at));

  if (r.remaining() != 0) return std::unexpected(TrailingGarbage{r.remaining()});
  return sth;
}

}  // namespace

std::optional<SthExtensionRef> SthExtensionCursor::next() {
  // The items were checked when the view was read, so none of these reads can fail; a failure
  // would mean a view that read_signed_tree_head did not make, and ends the walk.
  if (rest_.empty()) return std::nullopt;
  WireReader r(rest_);
  auto pair = r.read_array_n(EXTENSION_ITEMS, label::EXTENSION_PAIR);
  auto type = r.read_uint(label::EXTENSION_TYPE);
  auto data = r.read_bstr(label::EXTENSION_DATA);
  if (!pair || !type || !data || *type > MAX_EXTENSION_TYPE) {
    rest_ = {};
    return std::nullopt;
  }
  rest_ = rest_.subspan(static_cast<std::size_t>(r.position()));
  return SthExtensionRef{static_cast<std::uint16_t>(*type), *data};
}

std::expected<SignedTreeHeadView, WireDecodeError> read_signed_tree_head(ByteView bytes) {
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

  return read_body(*body);
}

std::uint64_t encoded_length(const SignedTreeHeadView& sth) {
  // Every extension counted is present in the input with three bytes or more, so the count and
  // each sum fit in size_t.
  std::size_t body = fixed_body_length(sth.tree_size, sth.timestamp, sth.extension_count);
  for (SthExtensionCursor c(sth); auto ext = c.next();) {
    body += extension_length(ext->extension_type, ext->extension_data.size());
  }
  return envelope_length(body);
}

std::expected<SignedTreeHead, WireDecodeError> decode_signed_tree_head(ByteView bytes) {
  auto view = read_signed_tree_head(bytes);
  if (!view) return std::unexpected(view.error());
  SignedTreeHead sth{view->log_id, view->tree_size, view->timestamp, view->root_hash, {}};
  // Every extension counted is present in the input, so the count is backed by its bytes.
  sth.extensions.reserve(static_cast<std::size_t>(view->extension_count));
  for (SthExtensionCursor c(*view); auto ext = c.next();) {
    sth.extensions.push_back(
        SthExtension{ext->extension_type, ByteString(ext->extension_data.begin(), ext->extension_data.end())});
  }
  return sth;
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
  out.reserve(envelope_length(body));
  append_head(out, dcbor::MAJOR_ARRAY, ENVELOPE_ITEMS);
  append_head(out, dcbor::MAJOR_TEXT, WIRE_VERSION.size());
  append_bytes(out, as_bytes(WIRE_VERSION));
  append_head(out, dcbor::MAJOR_BYTES, body);
  append_body(out, sth);
  return out;
}

}  // namespace halyx::wire
