// mtac_leaf_fuzz.cpp: decode_mtac_leaf on arbitrary bytes, and serialize_canonical on arbitrary
// records.
//
// Reference: decode_mtac_leaf reads the fields in place from validated input; the target decodes
// the same input the long way, into a value tree whose map lookups it then uses, and both must give
// the same record or the same message.
//
// Decoded input: the canonical bytes decode to an equal record and re-serialise identically; they
// equal what the general dCBOR encoder writes for the six-entry map (serialize_canonical writes its
// map by hand, so the two must not drift apart); and when the input held exactly the six entries,
// with unsigned integers where the record has them, the canonical bytes are the input's own
// re-encoding. Where read_canonical_leaf reads a record in its canonical form, the decoder reads the
// same bytes, and their canonical form is those bytes.
//
// Built record: the same bytes, read as a recipe, give a record with texts of arbitrary bytes
// (unnormalised, even ill-formed). Its serialisation must decode, re-serialise identically, and
// again equal the general encoder's output.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include "fuzz_support.hpp"
#include <halyx/serialization/mtac_leaf.hpp>

namespace {

using halyx::ByteString;
using halyx::ByteView;
using halyx::fuzz::require;
using halyx::leaf::MtacLeaf;

ByteString encode_with_general_encoder(const MtacLeaf& leaf) {
  halyx::dcbor::CborMap map;
  map.insert("schema_version", halyx::dcbor::CborValue::unsigned_int(leaf.schema_version));
  map.insert("agent_id", halyx::dcbor::CborValue::text(leaf.agent_id));
  map.insert("sponsor_id", halyx::dcbor::CborValue::text(leaf.sponsor_id));
  map.insert("authorized_scopes", halyx::dcbor::CborValue::text_list({leaf.authorized_scopes.begin(), leaf.authorized_scopes.end()}));
  map.insert("not_before", halyx::dcbor::CborValue::unsigned_int(leaf.not_before));
  map.insert("not_after", halyx::dcbor::CborValue::unsigned_int(leaf.not_after));
  return halyx::dcbor::encode_dcbor(halyx::dcbor::CborValue::map(std::move(map)));
}

// Returns the canonical bytes of `leaf` after checking that they decode and re-serialise to themselves.
ByteString check_canonical(const MtacLeaf& leaf) {
  const ByteString canonical = halyx::leaf::serialize_canonical(leaf);
  require(canonical == encode_with_general_encoder(leaf), "serialize_canonical differs from the general encoder");
  auto decoded = halyx::leaf::decode_mtac_leaf(canonical);
  require(decoded.has_value(), "canonical bytes do not decode");
  require(halyx::leaf::serialize_canonical(*decoded) == canonical, "canonical bytes do not re-serialise identically");
  return canonical;
}

// Whether the map holds the six fields and nothing else, each of the kind the record gives it, so
// that serialising the record writes the same map.
bool holds_exactly_the_record(const halyx::dcbor::CborMap& map) {
  if (map.size() != 6) return false;
  for (const char* key : {"schema_version", "not_before", "not_after"}) {
    const halyx::dcbor::CborValue* v = map.find(key);
    if (v == nullptr || !v->as_unsigned()) return false;
  }
  return true;
}

// Lookups in the value tree: nothing when the key is missing or holds another kind. A negative
// integer -1 - n comes back as its 64-bit two's complement, the complement of n.
std::optional<std::uint64_t> lookup_integer(const halyx::dcbor::CborMap& map, std::string_view key) {
  const halyx::dcbor::CborValue* v = map.find(key);
  if (v == nullptr) return std::nullopt;
  if (auto n = v->as_unsigned()) return n;
  if (auto n = v->as_negative()) return ~*n;
  return std::nullopt;
}

std::optional<std::string> lookup_text(const halyx::dcbor::CborMap& map, std::string_view key) {
  const halyx::dcbor::CborValue* v = map.find(key);
  if (v == nullptr || v->as_text() == nullptr) return std::nullopt;
  return std::string(*v->as_text());
}

std::optional<std::vector<std::string>> lookup_text_list(const halyx::dcbor::CborMap& map, std::string_view key) {
  const halyx::dcbor::CborValue* v = map.find(key);
  if (v == nullptr || v->as_array() == nullptr) return std::nullopt;
  std::vector<std::string> texts;
  for (const halyx::dcbor::CborValue& item : *v->as_array()) {
    if (item.as_text() == nullptr) return std::nullopt;
    texts.emplace_back(*item.as_text());
  }
  return texts;
}

// The leaf decoder written over the value tree and its lookups, as the record's rules state it.
std::string reference_decode(ByteView input, MtacLeaf& out) {
  auto value = halyx::dcbor::decode_dcbor(input);
  if (!value) return "CBOR decode error: " + halyx::dcbor::message(value.error());
  const halyx::dcbor::CborMap* map = value->as_map();
  if (map == nullptr) return "malformed leaf: expected map at top level";
  const auto missing = [](const char* field) { return std::string("malformed leaf: ") + field + ": missing CBOR map key"; };
  auto version = lookup_integer(*map, "schema_version");
  if (!version) return missing("schema_version");
  if (*version != 1) return "unsupported schema_version: expected 1, got " + std::to_string(*version);
  auto agent = lookup_text(*map, "agent_id");
  if (!agent) return missing("agent_id");
  auto sponsor = lookup_text(*map, "sponsor_id");
  if (!sponsor) return missing("sponsor_id");
  auto scopes = lookup_text_list(*map, "authorized_scopes");
  if (!scopes) return missing("authorized_scopes");
  auto not_before = lookup_integer(*map, "not_before");
  if (!not_before) return missing("not_before");
  auto not_after = lookup_integer(*map, "not_after");
  if (!not_after) return missing("not_after");
  out = MtacLeaf{1, *agent, *sponsor, {}, *not_before, *not_after};
  for (const std::string& scope : *scopes) out.authorized_scopes.push_back(scope);
  return {};
}

// The shortcut that hashes a record in its canonical form as it stands: wherever it reads one, the
// decoder reads the same bytes as a record whose canonical form they are.
void check_canonical_view(ByteView input) {
  const auto view = halyx::leaf::read_canonical_leaf(input);
  if (!view) return;
  auto prefix = halyx::leaf::decode_mtac_leaf_prefix(input);
  require(prefix.has_value() && prefix->length == view->length, "a canonical view of bytes the decoder reads otherwise");
  require(halyx::leaf::serialize_canonical(prefix->leaf) == ByteString(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(view->length)),
          "a canonical view of bytes that are not the record's canonical form");
  require(view->agent_id == prefix->leaf.agent_id && view->sponsor_id == prefix->leaf.sponsor_id &&
              view->not_before == prefix->leaf.not_before && view->not_after == prefix->leaf.not_after &&
              view->scope_count == prefix->leaf.authorized_scopes.size(),
          "a canonical view with other fields than the decoded record");
}

void check_decoded(ByteView input) {
  check_canonical_view(input);
  auto leaf = halyx::leaf::decode_mtac_leaf(input);
  MtacLeaf reference;
  const std::string reference_error = reference_decode(input, reference);
  require(leaf.has_value() == reference_error.empty(), "the leaf decoder and the value tree disagree on acceptance");
  require(leaf ? *leaf == reference : halyx::leaf::message(leaf.error()) == reference_error,
          "the leaf decoder and the value tree give different records or messages");
  if (!leaf) {
    require(!halyx::leaf::message(leaf.error()).empty(), "empty leaf error message");
    return;
  }
  require(leaf->schema_version == 1, "decoded leaf with a schema_version other than 1");
  const ByteString canonical = check_canonical(*leaf);
  auto decoded = halyx::leaf::decode_mtac_leaf(canonical);
  require(*decoded == *leaf, "canonical bytes decode to another record");

  auto value = halyx::dcbor::decode_dcbor(input);
  require(value.has_value(), "a decoded leaf is not dCBOR");
  if (holds_exactly_the_record(*value->as_map())) {
    require(canonical == halyx::dcbor::encode_dcbor(*value), "a six-field leaf does not serialise as it re-encodes");
  }
}

void check_built(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  MtacLeaf leaf;
  // Long enough for a run of more than 32 two-byte combining marks, which the normaliser sorts differently.
  leaf.agent_id = fdp.ConsumeRandomLengthString(160);
  leaf.sponsor_id = fdp.ConsumeRandomLengthString(160);
  const auto scopes = fdp.ConsumeIntegralInRange<std::size_t>(0, 8);
  for (std::size_t i = 0; i < scopes; ++i) leaf.authorized_scopes.push_back(fdp.ConsumeRandomLengthString(32));
  leaf.not_before = fdp.ConsumeIntegral<std::uint64_t>();
  leaf.not_after = fdp.ConsumeIntegral<std::uint64_t>();
  (void)check_canonical(leaf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_decoded(ByteView(data, size));
  check_built(data, size);
  return 0;
}
