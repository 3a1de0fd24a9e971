#include "inspect.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "json.hpp"
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/sth_signature.hpp>

namespace halyx::cli {
namespace {

// Adds the input's length, its canonical length, and whether they are the same bytes. A record
// whose bytes are not canonical still decodes, so without this the difference would go unseen.
void add_canonical_form(JsonWriter& object, std::uint64_t length, std::uint64_t canonical_length, bool same,
                        std::string_view note) {
  object.number("length", length).number("canonical_length", canonical_length).boolean("canonical", same);
  if (!same) object.text("note", note);
}

std::expected<void, VerifyError> inspect_sth(ByteView bytes, StdoutStream& out) {
  auto sth = wire::read_signed_tree_head(bytes);
  if (!sth) return std::unexpected(SthDecodeFailed{sth.error()});
  JsonWriter object(out.buffer());
  object.hex("log_id", sth->log_id)
      .number("tree_size", sth->tree_size)
      .number("timestamp_ms", sth->timestamp)
      .hex("root_hash", sth->root_hash)
      .member("extensions")
      .push_back('[');
  bool first = true;
  for (wire::SthExtensionCursor c(*sth); auto e = c.next();) {
    if (!first) out.buffer().append(", ");
    first = false;
    JsonWriter(out.buffer()).number("type", e->extension_type).hex("data", e->extension_data).close();
    out.flush_if_full();
  }
  out.buffer().push_back(']');
  // The re-encoding differs from the input only in heads that were not shortest, each of which it
  // writes shorter: equal lengths mean equal bytes.
  const std::uint64_t canonical_length = wire::encoded_length(*sth);
  add_canonical_form(object, bytes.size(), canonical_length, canonical_length == bytes.size(),
                     "the envelope's bytes differ from its canonical encoding: the STH check verifies "
                     "the signature over the canonical encoding, not over these bytes");
  object.close();
  return {};
}

std::expected<void, VerifyError> inspect_proof(ByteView bytes, StdoutStream& out) {
  auto proof = wire::decode_inclusion_proof_v1(bytes);
  if (!proof) return std::unexpected(ProofDecodeFailed{proof.error()});
  JsonWriter object(out.buffer());
  std::string& path = object.number("tree_size", proof->tree_size)
                          .number("leaf_index", proof->leaf_index)
                          .member("inclusion_path");
  path.push_back('[');
  for (std::size_t i = 0; i < proof->inclusion_path.size(); ++i) {
    if (i > 0) path.append(", ");
    append_hex_string(path, proof->inclusion_path[i]);
    out.flush_if_full();
  }
  path.push_back(']');
  object.close();
  return {};
}

std::expected<void, VerifyError> inspect_leaf(ByteView bytes, StdoutStream& out) {
  auto leaf = leaf::decode_mtac_leaf(bytes);
  if (!leaf) return std::unexpected(LeafDecodeFailed{std::move(leaf.error())});
  JsonWriter object(out.buffer());
  add_leaf_fields(object, *leaf);
  const ByteString canonical = leaf::serialize_canonical(*leaf);
  add_canonical_form(object, bytes.size(), canonical.size(), std::ranges::equal(bytes, canonical),
                     "the leaf's bytes differ from its canonical serialisation: the leaf hash is taken "
                     "over the canonical form, so extra entries and floats written for integers are not covered by it");
  object.close();
  return {};
}

// A key has no encoding to decode: its length is all that can be wrong, and the verification
// refuses a key of another length first, before any signature is looked at.
std::expected<void, VerifyError> inspect_key(ByteView bytes, StdoutStream& out) {
  if (bytes.size() != signing::ML_DSA_65_PUBLIC_KEY_LENGTH) {
    return std::unexpected(KeyLengthMismatch{signing::ML_DSA_65_PUBLIC_KEY_LENGTH, bytes.size()});
  }
  JsonWriter(out.buffer()).number("length", bytes.size()).hex("log_id", signing::derive_log_id(bytes)).close();
  return {};
}

}  // namespace

void add_verified_fields(JsonWriter& object, const VerifiedLeaf& verified) {
  const VerifiedInclusion& v = verified.inclusion;
  object.number("leaf_index", v.leaf_index).number("tree_size", v.tree_size).number("timestamp_ms", v.timestamp_ms);
  add_leaf_fields(object, verified.leaf);
}

namespace {

// The six fields in record order; `scopes(f)` calls f on each scope in order.
template <class EachScope>
void add_fields(JsonWriter& object, std::uint64_t schema_version, std::string_view agent_id,
                std::string_view sponsor_id, EachScope each_scope, std::uint64_t not_before,
                std::uint64_t not_after) {
  std::string& scopes =
      object.number("schema_version", schema_version).text("agent_id", agent_id).text("sponsor_id", sponsor_id)
          .member("authorized_scopes");
  scopes.push_back('[');
  bool first = true;
  each_scope([&](std::string_view s) {
    if (!first) scopes.append(", ");
    first = false;
    append_json_string(scopes, s);
  });
  scopes.push_back(']');
  object.number("not_before", not_before).number("not_after", not_after);
}

}  // namespace

void add_leaf_fields(JsonWriter& object, const leaf::MtacLeaf& leaf) {
  add_fields(
      object, leaf.schema_version, leaf.agent_id, leaf.sponsor_id,
      [&](auto&& add) {
        for (const std::string_view s : leaf.authorized_scopes) add(s);
      },
      leaf.not_before, leaf.not_after);
}

namespace {

// Appends `text`, ASCII, as a JSON string: as it stands when nothing in it needs an escape.
void append_ascii_string(std::string& out, std::string_view text) {
  const bool plain = std::ranges::all_of(text, [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c != '"' && c != '\\';
  });
  if (!plain) return append_json_string(out, text);
  out.push_back('"');
  out.append(text);
  out.push_back('"');
}

void append_number(std::string& out, std::uint64_t n) {
  std::array<char, 20> digits{};  // 2^64 - 1 has 20
  out.append(digits.data(), std::to_chars(digits.data(), digits.data() + digits.size(), n).ptr);
}

}  // namespace

// The members' text written out once, between the values: what JsonWriter writes around them.
void append_leaf_object(std::string& out, const leaf::CanonicalLeafView& leaf) {
  out.append(R"({"schema_version": 1, "agent_id": )");
  append_ascii_string(out, leaf.agent_id);
  out.append(R"(, "sponsor_id": )");
  append_ascii_string(out, leaf.sponsor_id);
  out.append(R"(, "authorized_scopes": [)");
  for (ByteView items = leaf.scope_items; !items.empty();) {
    append_ascii_string(out, leaf::take_text_item(items));
    if (!items.empty()) out.append(", ");
  }
  out.append(R"(], "not_before": )");
  append_number(out, leaf.not_before);
  out.append(R"(, "not_after": )");
  append_number(out, leaf.not_after);
  out.push_back('}');
}

std::expected<void, VerifyError> inspect_record(RecordKind kind, ByteView bytes, StdoutStream& out) {
  switch (kind) {
    case RecordKind::Sth:
      return inspect_sth(bytes, out);
    case RecordKind::Proof:
      return inspect_proof(bytes, out);
    case RecordKind::Leaf:
      return inspect_leaf(bytes, out);
    case RecordKind::Key:
      return inspect_key(bytes, out);
  }
  return std::unexpected(VerifyError{InclusionFailed{}});  // unreachable: -Wswitch guards new kinds
}

}  // namespace halyx::cli
