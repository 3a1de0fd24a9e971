// mtac_leaf.cpp: MtacLeaf decoding and canonical serialisation.
#include <halyx/serialization/mtac_leaf.hpp>

#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include <halyx/dcbor/cbor_head.hpp>
#include <halyx/dcbor/encode.hpp>
#include <halyx/dcbor/nfc.hpp>
#include <halyx/dcbor/reader.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::leaf {
namespace {

// The six fields in record order, the order in which they are checked.
enum Field : std::uint8_t { SCHEMA_VERSION, AGENT_ID, SPONSOR_ID, AUTHORIZED_SCOPES, NOT_BEFORE, NOT_AFTER };

// The canonical encodings of the keys (text head and name), by field. The canonical map writes them
// by encoding: shorter names first, and "not_before" before "sponsor_id".
constexpr std::array<std::string_view, 6> FIELD_KEYS = {
    "\x6e" "schema_version", "\x68" "agent_id", "\x6a" "sponsor_id",
    "\x71" "authorized_scopes", "\x6a" "not_before", "\x69" "not_after",
};
constexpr std::uint8_t MAP_OF_SIX = 0xa6;

// An array whose elements are all texts: its items as they stand, and how many.
struct TextItems {
  ByteView items;
  std::size_t count;
};

// Returns the array `item` when every element is a text; nothing otherwise.
std::optional<TextItems> text_items_of(const dcbor::CborItem& item) {
  if (item.major() != dcbor::MAJOR_ARRAY) return std::nullopt;
  std::size_t count = 0;
  for (const dcbor::CborItem element : item.children()) {
    if (!element.text()) return std::nullopt;
    ++count;
  }
  return TextItems{item.body(), count};
}

// The text the leaf's messages give a field that is missing or of the wrong kind.
constexpr std::string_view MISSING_KEY = "missing CBOR map key";

std::unexpected<LeafDecodeError> missing(std::string_view field) {
  std::string what(field);
  what += ": ";
  what += MISSING_KEY;
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

namespace {

std::expected<MtacLeaf, LeafDecodeError> read_fields(const dcbor::AcceptedCbor& accepted) {
  const dcbor::CborItem top = accepted.root();
  if (top.major() != dcbor::MAJOR_MAP) {
    return std::unexpected(LeafDecodeError{Malformed{"expected map at top level"}});
  }

  // Each field's value, in record order, where the map holds one. Keys are compared as bytes: a
  // text key read from accepted input is its own canonical encoding, so this finds exactly what a
  // lookup by encoding would.
  std::array<std::optional<dcbor::CborItem>, FIELD_KEYS.size()> value_of{};
  std::optional<dcbor::CborItem> key;
  for (const dcbor::CborItem item : top.children()) {
    if (!key) {
      key = item;
      continue;
    }
    const ByteView encoding = key->encoding();
    const std::string_view key_bytes(reinterpret_cast<const char*>(encoding.data()), encoding.size());
    for (std::size_t f = 0; f < FIELD_KEYS.size(); ++f) {
      if (key_bytes == FIELD_KEYS[f]) value_of[f] = item;
    }
    key.reset();
  }
  const auto integer = [&](Field f) { return value_of[f] ? value_of[f]->integer() : std::nullopt; };
  const auto text = [&](Field f) { return value_of[f] ? value_of[f]->text() : std::nullopt; };

  auto version = integer(SCHEMA_VERSION);
  if (!version) return missing("schema_version");
  if (*version != 1) return std::unexpected(LeafDecodeError{UnsupportedSchemaVersion{*version}});
  auto agent_id = text(AGENT_ID);
  if (!agent_id) return missing("agent_id");
  auto sponsor_id = text(SPONSOR_ID);
  if (!sponsor_id) return missing("sponsor_id");
  auto scopes = value_of[AUTHORIZED_SCOPES] ? text_items_of(*value_of[AUTHORIZED_SCOPES]) : std::nullopt;
  if (!scopes) return missing("authorized_scopes");
  auto not_before = integer(NOT_BEFORE);
  if (!not_before) return missing("not_before");
  auto not_after = integer(NOT_AFTER);
  if (!not_after) return missing("not_after");

  // Every field is present and of its kind: only now is anything copied.
  return MtacLeaf{1,
                  std::string(*agent_id),
                  std::string(*sponsor_id),
                  TextList::from_canonical_items(scopes->items, scopes->count),
                  *not_before,
                  *not_after};
}

}  // namespace

std::expected<MtacLeaf, LeafDecodeError> decode_mtac_leaf(ByteView leaf_bytes) {
  const auto accepted = dcbor::validate_dcbor(leaf_bytes);
  if (!accepted) return std::unexpected(LeafDecodeError{CborDecode{dcbor::message(accepted.error())}});
  return read_fields(*accepted);
}

std::expected<LeafPrefix, LeafDecodeError> decode_mtac_leaf_prefix(ByteView input) {
  const auto accepted = dcbor::validate_dcbor_prefix(input);
  if (!accepted) return std::unexpected(LeafDecodeError{CborDecode{dcbor::message(accepted.error())}});
  auto leaf = read_fields(accepted->item);
  if (!leaf) return std::unexpected(std::move(leaf.error()));
  return LeafPrefix{std::move(*leaf), accepted->length};
}

namespace {

// A forward-only cursor over a record expected in the canonical layout: each step either matches
// the bytes it expects and moves past them, or fails and the whole record is left to the decoder.
class LayoutCursor {
 public:
  explicit LayoutCursor(ByteView input) noexcept : input_(input) {}

  [[nodiscard]] std::size_t position() const noexcept { return pos_; }

  [[nodiscard]] bool literal(std::string_view bytes) noexcept {
    if (bytes.size() > left() || std::memcmp(input_.data() + pos_, bytes.data(), bytes.size()) != 0) return false;
    pos_ += bytes.size();
    return true;
  }

  // The key of field F: a literal whose length the compiler knows, so the comparison is inlined.
  template <Field F>
  [[nodiscard]] bool key() noexcept {
    constexpr std::string_view k = FIELD_KEYS[F];
    if (k.size() > left() || std::memcmp(input_.data() + pos_, k.data(), k.size()) != 0) return false;
    pos_ += k.size();
    return true;
  }

  // A head of major type `major` in shortest form, by its argument; the reader's own rules.
  [[nodiscard]] std::optional<std::uint64_t> head(std::uint8_t major) noexcept {
    if (left() == 0) return std::nullopt;
    const std::uint8_t initial = input_[pos_];
    const std::uint8_t ai = dcbor::info_of(initial);
    if (dcbor::major_of(initial) != major || ai > dcbor::AI_EIGHT_BYTES) return std::nullopt;
    const std::size_t width = dcbor::argument_width(ai);
    if (left() < 1 + width) return std::nullopt;
    const std::uint64_t argument = width == 0 ? ai : dcbor::read_big_endian(&input_[pos_ + 1], width);
    if (width != 0 && argument < dcbor::smallest_argument(ai)) return std::nullopt;
    pos_ += 1 + width;
    return argument;
  }

  // A text item whose text is ASCII, by its text.
  [[nodiscard]] std::optional<std::string_view> ascii_text() noexcept {
    const auto length = head(dcbor::MAJOR_TEXT);
    if (!length || *length > left()) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(input_.data() + pos_), static_cast<std::size_t>(*length));
    if (!ascii(text)) return std::nullopt;
    pos_ += text.size();
    return text;
  }

 private:
  [[nodiscard]] std::size_t left() const noexcept { return input_.size() - pos_; }

  // dcbor::is_ascii, here where it can be inlined: eight bytes at a time, then the rest.
  [[nodiscard]] static bool ascii(std::string_view text) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      if (!dcbor::ascii8(text.data() + i)) return false;
    }
    for (; i < text.size(); ++i) {
      if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
  }

  ByteView input_;
  std::size_t pos_ = 0;
};

}  // namespace

// The map is matched in the order write_canonical writes it, which is also the order of its keys'
// encodings, strictly ascending: so the reader finds no fault in it, and read_fields finds each
// field, of its kind, with nothing dropped.
std::optional<CanonicalLeafView> read_canonical_leaf(ByteView input) noexcept {
  LayoutCursor c(input);
  CanonicalLeafView v;
  constexpr std::string_view MAP_HEAD("\xa6", 1), VERSION_ONE("\x01", 1);
  if (!c.literal(MAP_HEAD) || !c.key<AGENT_ID>()) return std::nullopt;
  const auto agent_id = c.ascii_text();
  if (!agent_id || !c.key<NOT_AFTER>()) return std::nullopt;
  const auto not_after = c.head(dcbor::MAJOR_UNSIGNED);
  if (!not_after || !c.key<NOT_BEFORE>()) return std::nullopt;
  const auto not_before = c.head(dcbor::MAJOR_UNSIGNED);
  if (!not_before || !c.key<SPONSOR_ID>()) return std::nullopt;
  const auto sponsor_id = c.ascii_text();
  if (!sponsor_id || !c.key<SCHEMA_VERSION>() || !c.literal(VERSION_ONE) ||
      !c.key<AUTHORIZED_SCOPES>()) {
    return std::nullopt;
  }
  const auto count = c.head(dcbor::MAJOR_ARRAY);
  if (!count) return std::nullopt;
  const std::size_t items_at = c.position();
  // Each item takes at least one byte, so a count the input cannot back runs out of it.
  for (std::uint64_t i = 0; i < *count; ++i) {
    if (!c.ascii_text()) return std::nullopt;
  }
  v.agent_id = *agent_id;
  v.sponsor_id = *sponsor_id;
  v.scope_items = input.subspan(items_at, c.position() - items_at);
  v.scope_count = static_cast<std::size_t>(*count);
  v.not_before = *not_before;
  v.not_after = *not_after;
  v.length = c.position();
  return v;
}

MtacLeaf to_leaf(const CanonicalLeafView& view) {
  return MtacLeaf{1,
                  std::string(view.agent_id),
                  std::string(view.sponsor_id),
                  TextList::from_canonical_items(view.scope_items, view.scope_count),
                  view.not_before,
                  view.not_after};
}

std::string_view take_text_item(ByteView& items) noexcept {
  const std::uint8_t ai = dcbor::info_of(items[0]);
  const std::size_t width = dcbor::argument_width(ai);
  const auto length = static_cast<std::size_t>(width == 0 ? ai : dcbor::read_big_endian(&items[1], width));
  const std::string_view text(reinterpret_cast<const char*>(items.data() + 1 + width), length);
  items = items.subspan(1 + width + length);
  return text;
}

namespace {

void write_head(ByteSink& out, std::uint8_t major, std::uint64_t argument) {
  std::array<std::uint8_t, dcbor::MAX_HEAD_LENGTH> head{};
  out.write(ByteView(head.data(), dcbor::encode_head(major, argument, head)));
}

// Writes a text item with the text in NFC; a text already in NFC (every text of a decoded record)
// is written as it stands.
void write_text(ByteSink& out, std::string_view text) {
  std::string normalised;
  if (!dcbor::is_canonical_text(text)) {
    normalised = dcbor::to_nfc(text);
    text = normalised;
  }
  write_head(out, dcbor::MAJOR_TEXT, text.size());
  out.write(as_bytes(text));
}

class AppendSink final : public ByteSink {
 public:
  explicit AppendSink(ByteString& out) noexcept : out_(out) {}
  void write(ByteView bytes) override {
    // resize and copy rather than insert: g++ 12 misreads the inlined insert as an overflow.
    const std::size_t at = out_.size();
    out_.resize(at + bytes.size());
    if (!bytes.empty()) std::memcpy(out_.data() + at, bytes.data(), bytes.size());
  }

 private:
  ByteString& out_;
};

}  // namespace

// The key order never changes, so the map is written directly rather than built and sorted; the
// texts still go through the encoder's NFC step, which keeps the bytes identical to encoding the map.
void write_canonical(const MtacLeaf& leaf, ByteSink& out) {
  out.write(ByteView(&MAP_OF_SIX, 1));
  out.write(as_bytes(FIELD_KEYS[AGENT_ID]));
  write_text(out, leaf.agent_id);
  out.write(as_bytes(FIELD_KEYS[NOT_AFTER]));
  write_head(out, dcbor::MAJOR_UNSIGNED, leaf.not_after);
  out.write(as_bytes(FIELD_KEYS[NOT_BEFORE]));
  write_head(out, dcbor::MAJOR_UNSIGNED, leaf.not_before);
  out.write(as_bytes(FIELD_KEYS[SPONSOR_ID]));
  write_text(out, leaf.sponsor_id);
  out.write(as_bytes(FIELD_KEYS[SCHEMA_VERSION]));
  write_head(out, dcbor::MAJOR_UNSIGNED, leaf.schema_version);
  out.write(as_bytes(FIELD_KEYS[AUTHORIZED_SCOPES]));
  write_head(out, dcbor::MAJOR_ARRAY, leaf.authorized_scopes.size());
  if (leaf.authorized_scopes.canonical()) {
    out.write(leaf.authorized_scopes.items());
  } else {
    for (std::string_view scope : leaf.authorized_scopes) write_text(out, scope);
  }
}

ByteString serialize_canonical(const MtacLeaf& leaf) {
  std::size_t size = 1 + 5 * dcbor::MAX_HEAD_LENGTH + leaf.agent_id.size() + leaf.sponsor_id.size() +
                     leaf.authorized_scopes.items().size();
  for (std::string_view key : FIELD_KEYS) size += key.size();
  ByteString out;
  out.reserve(size);  // from the record's own sizes; normalisation rarely changes them
  AppendSink sink(out);
  write_canonical(leaf, sink);
  return out;
}

}  // namespace halyx::leaf
