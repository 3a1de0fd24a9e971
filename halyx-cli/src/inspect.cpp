#include "inspect.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

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

// Whether `text`, ASCII, stands in a JSON string as it is: nothing in it needs an escape.
bool plain_json(std::string_view text) noexcept {
  return std::ranges::all_of(text, [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c != '"' && c != '\\';
  });
}

char* put(char* p, std::string_view s) noexcept {
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* put_quoted(char* p, std::string_view s) noexcept {
  *p++ = '"';
  p = put(p, s);
  *p++ = '"';
  return p;
}

// The members' text between the values: what JsonWriter writes around them.
constexpr std::string_view OPEN = R"({"schema_version": 1, "agent_id": )", SPONSOR = R"(, "sponsor_id": )",
                           SCOPES = R"(, "authorized_scopes": [)", SEPARATOR = ", ",
                           NOT_BEFORE = R"(], "not_before": )", NOT_AFTER = R"(, "not_after": )";

}  // namespace

void append_leaf_object(std::string& out, const leaf::CanonicalLeafView& leaf) {
  const auto each_scope = [&](auto&& f) {
    for (ByteView items = leaf.scope_items; !items.empty();) f(leaf::take_text_item(items));
  };
  bool plain = plain_json(leaf.agent_id) && plain_json(leaf.sponsor_id);
  std::size_t scope_bytes = 0;
  each_scope([&](std::string_view s) {
    plain = plain && plain_json(s);
    scope_bytes += s.size() + 2;
  });
  if (!plain) {  // the writer escapes what needs it
    JsonWriter object(out);
    add_fields(object, 1, leaf.agent_id, leaf.sponsor_id, each_scope, leaf.not_before, leaf.not_after);
    object.close();
    return;
  }
  // Nothing to escape: the line's length is known, and it is written in one piece.
  std::array<char, 20> before{}, after{};  // 2^64 - 1 has 20 digits
  const std::string_view not_before(
      before.data(), static_cast<std::size_t>(std::to_chars(before.begin(), before.end(), leaf.not_before).ptr - before.data()));
  const std::string_view not_after(
      after.data(), static_cast<std::size_t>(std::to_chars(after.begin(), after.end(), leaf.not_after).ptr - after.data()));
  if (leaf.scope_count > 1) scope_bytes += SEPARATOR.size() * (leaf.scope_count - 1);
  const std::size_t size = OPEN.size() + leaf.agent_id.size() + 2 + SPONSOR.size() + leaf.sponsor_id.size() + 2 +
                           SCOPES.size() + scope_bytes + NOT_BEFORE.size() + not_before.size() + NOT_AFTER.size() +
                           not_after.size() + 1;
  // resize rather than resize_and_overwrite, which in libstdc++ 12 reallocates to the exact size
  // on every call, so a string of many lines is copied again for each one.
  const std::size_t at = out.size();
  out.resize(at + size);
  {
    char* p = out.data() + at;
    p = put_quoted(put(p, OPEN), leaf.agent_id);
    p = put_quoted(put(p, SPONSOR), leaf.sponsor_id);
    p = put(p, SCOPES);
    bool first = true;
    each_scope([&](std::string_view s) {
      if (!first) p = put(p, SEPARATOR);
      first = false;
      p = put_quoted(p, s);
    });
    p = put(put(put(put(p, NOT_BEFORE), not_before), NOT_AFTER), not_after);
    *p = '}';
  }
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
