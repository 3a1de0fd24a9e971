#include "inspect.hpp"

#include <algorithm>
#include <vector>

#include "json.hpp"
#include "serialization/inclusion_proof.hpp"
#include "serialization/mtac_leaf.hpp"
#include "serialization/signed_tree_head.hpp"

namespace halyx::cli {
namespace {

std::string hex(ByteView bytes) {
  constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out += DIGITS[b >> 4];
    out += DIGITS[b & 0xF];
  }
  return out;
}

std::string hex_string(ByteView bytes) { return json_string(hex(bytes)); }

// Adds the input's length, its canonical length, and whether they are the same bytes. A record
// whose bytes are not canonical still decodes, so without this the difference would go unseen.
void add_canonical_form(JsonObject& object, ByteView input, const ByteString& canonical, std::string_view note) {
  const bool same = std::equal(input.begin(), input.end(), canonical.begin(), canonical.end());
  object.number("length", input.size()).number("canonical_length", canonical.size()).boolean("canonical", same);
  if (!same) object.text("note", note);
}

std::expected<std::string, VerifyError> inspect_sth(ByteView bytes) {
  auto sth = wire::decode_signed_tree_head(bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});
  std::vector<std::string> extensions;
  for (const wire::SthExtension& e : sth->extensions) {
    extensions.push_back(
        JsonObject().number("type", e.extension_type).json("data", hex_string(e.extension_data)).str());
  }
  JsonObject object;
  object.json("log_id", hex_string(sth->log_id))
      .number("tree_size", sth->tree_size)
      .number("timestamp_ms", sth->timestamp)
      .json("root_hash", hex_string(sth->root_hash))
      .json("extensions", json_array(extensions));
  add_canonical_form(object, bytes, wire::encode_signed_tree_head(*sth),
                     "the envelope's bytes differ from its canonical encoding: the STH check verifies "
                     "the signature over the canonical encoding, not over these bytes");
  return object.str();
}

std::expected<std::string, VerifyError> inspect_proof(ByteView bytes) {
  auto proof = wire::decode_inclusion_proof_v1(bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  std::vector<std::string> path;
  for (const Hash32& h : proof->inclusion_path) path.push_back(hex_string(h));
  return JsonObject()
      .number("tree_size", proof->tree_size)
      .number("leaf_index", proof->leaf_index)
      .json("inclusion_path", json_array(path))
      .str();
}

std::expected<std::string, VerifyError> inspect_leaf(ByteView bytes) {
  auto leaf = leaf::decode_mtac_leaf(bytes);
  if (!leaf) return std::unexpected(LeafDecodeFailed{std::move(leaf.error())});
  std::vector<std::string> scopes;
  for (std::string_view s : leaf->authorized_scopes) scopes.push_back(json_string(s));
  JsonObject object;
  object.number("schema_version", leaf->schema_version)
      .text("agent_id", leaf->agent_id)
      .text("sponsor_id", leaf->sponsor_id)
      .json("authorized_scopes", json_array(scopes))
      .number("not_before", leaf->not_before)
      .number("not_after", leaf->not_after);
  add_canonical_form(object, bytes, leaf::serialize_canonical(*leaf),
                     "the leaf's bytes differ from its canonical serialisation: the leaf hash is taken "
                     "over the canonical form, so extra entries and non-shortest forms are not covered by it");
  return object.str();
}

}  // namespace

std::expected<std::string, VerifyError> inspect_record(RecordKind kind, ByteView bytes) {
  switch (kind) {
    case RecordKind::Sth:
      return inspect_sth(bytes);
    case RecordKind::Proof:
      return inspect_proof(bytes);
    case RecordKind::Leaf:
      return inspect_leaf(bytes);
  }
  return std::unexpected(VerifyError{InclusionFailed{}});  // unreachable: -Wswitch guards new kinds
}

}  // namespace halyx::cli
