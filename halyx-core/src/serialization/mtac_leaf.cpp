// mtac_leaf.cpp: MtacLeaf decoding and canonical serialisation.
#include "serialization/mtac_leaf.hpp"

#include <string_view>
#include <utility>

#include "dcbor.hpp"

namespace halyx::leaf {
namespace {

// The canonical encodings of the keys (text head and name), in the order the canonical map
// writes them: by encoding, so shorter names first, and "not_before" before "sponsor_id".
constexpr std::string_view KEY_AGENT_ID = "\x68" "agent_id";
constexpr std::string_view KEY_NOT_AFTER = "\x69" "not_after";
constexpr std::string_view KEY_NOT_BEFORE = "\x6a" "not_before";
constexpr std::string_view KEY_SPONSOR_ID = "\x6a" "sponsor_id";
constexpr std::string_view KEY_SCHEMA_VERSION = "\x6e" "schema_version";
constexpr std::string_view KEY_AUTHORIZED_SCOPES = "\x71" "authorized_scopes";
constexpr std::uint8_t MAP_OF_SIX = 0xa6;
constexpr std::size_t MAX_HEAD = 9;

void append_raw(ByteString& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

std::unexpected<LeafDecodeError> missing(std::string_view field) {
  std::string what(field);
  what += ": ";
  what += dcbor::message(dcbor::CborError::of(dcbor::CborErrorKind::MissingKey));
  return std::unexpected(LeafDecodeError{Malformed{std::move(what)}});
}

}  // namespace

std::string message(const LeafDecodeError& e) {
  return std::visit(Overloaded{
                        [](const CborDecode& x) { return "CBOR decode error: " + x.cbor_message; },
                        [](const UnsupportedSchemaVersion& x) {
                          return "unsupported schema_version: expected 1, got " + std::to_string(x.version);
                        },
                        [](const Malformed& x) { return "malformed leaf: " + x.what; },
                    },
                    e);
}

std::expected<MtacLeaf, LeafDecodeError> decode_mtac_leaf(ByteView leaf_bytes) {
  auto value = dcbor::decode_dcbor(leaf_bytes);
  if (!value) return std::unexpected(LeafDecodeError{CborDecode{dcbor::message(value.error())}});
  const dcbor::CborMap* map = value->as_map();
  if (map == nullptr) return std::unexpected(LeafDecodeError{Malformed{"expected map at top level"}});

  auto version = dcbor::lookup_integer(*map, "schema_version");
  if (!version) return missing("schema_version");
  if (*version != 1) return std::unexpected(LeafDecodeError{UnsupportedSchemaVersion{*version}});
  auto agent_id = dcbor::lookup_text(*map, "agent_id");
  if (!agent_id) return missing("agent_id");
  auto sponsor_id = dcbor::lookup_text(*map, "sponsor_id");
  if (!sponsor_id) return missing("sponsor_id");
  auto scopes = dcbor::lookup_text_list(*map, "authorized_scopes");
  if (!scopes) return missing("authorized_scopes");
  auto not_before = dcbor::lookup_integer(*map, "not_before");
  if (!not_before) return missing("not_before");
  auto not_after = dcbor::lookup_integer(*map, "not_after");
  if (!not_after) return missing("not_after");

  return MtacLeaf{1, std::move(*agent_id), std::move(*sponsor_id), std::move(*scopes), *not_before, *not_after};
}

// The key order never changes, so the map is written directly rather than built and
// sorted; the texts still go through the encoder's NFC step, which keeps the bytes identical
// to encoding the map.
ByteString serialize_canonical(const MtacLeaf& leaf) {
  std::size_t size = 1 + KEY_AGENT_ID.size() + KEY_NOT_AFTER.size() + KEY_NOT_BEFORE.size() +
                     KEY_SPONSOR_ID.size() + KEY_SCHEMA_VERSION.size() + KEY_AUTHORIZED_SCOPES.size() +
                     5 * MAX_HEAD + leaf.agent_id.size() + leaf.sponsor_id.size() + MAX_HEAD;
  for (const std::string& s : leaf.authorized_scopes) size += MAX_HEAD + s.size();
  ByteString out;
  out.reserve(size);  // from the record's own sizes; normalisation rarely changes them

  out.push_back(MAP_OF_SIX);
  append_raw(out, KEY_AGENT_ID);
  dcbor::append_text(out, leaf.agent_id);
  append_raw(out, KEY_NOT_AFTER);
  dcbor::append_head(out, 0, leaf.not_after);
  append_raw(out, KEY_NOT_BEFORE);
  dcbor::append_head(out, 0, leaf.not_before);
  append_raw(out, KEY_SPONSOR_ID);
  dcbor::append_text(out, leaf.sponsor_id);
  append_raw(out, KEY_SCHEMA_VERSION);
  dcbor::append_head(out, 0, leaf.schema_version);
  append_raw(out, KEY_AUTHORIZED_SCOPES);
  dcbor::append_head(out, 4, leaf.authorized_scopes.size());
  for (const std::string& scope : leaf.authorized_scopes) dcbor::append_text(out, scope);
  return out;
}

}  // namespace halyx::leaf
