// mtac_leaf.hpp: the MtacLeaf record, decoded from deterministic CBOR and re-serialised canonically.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <halyx/bytes.hpp>
#include <halyx/serialization/text_list.hpp>

namespace halyx::leaf {

// One leaf of the log: an agent, its sponsor, its authorised scopes and two bounds that are
// carried, not interpreted. Owns everything it holds.
struct MtacLeaf {
  std::uint8_t schema_version = 1;  // always 1 in a decoded record
  std::string agent_id;
  std::string sponsor_id;
  TextList authorized_scopes;  // order and duplicates kept
  std::uint64_t not_before = 0;
  std::uint64_t not_after = 0;

  friend bool operator==(const MtacLeaf&, const MtacLeaf&) = default;
};

// The input is not deterministic CBOR; holds the decoder's message.
struct CborDecode {
  std::string cbor_message;
  bool operator==(const CborDecode&) const = default;
};
// schema_version was an integer other than 1.
struct UnsupportedSchemaVersion {
  std::uint64_t version;
  bool operator==(const UnsupportedSchemaVersion&) const = default;
};
// The CBOR was fine but not a leaf: not a map, or a field missing or of the wrong kind.
struct Malformed {
  std::string what;
  bool operator==(const Malformed&) const = default;
};
using LeafDecodeError = std::variant<CborDecode, UnsupportedSchemaVersion, Malformed>;

// Returns the display text of `e`. The only place these texts are written.
[[nodiscard]] std::string message(const LeafDecodeError& e);

// Returns the record held in `leaf_bytes`, which must be one deterministic-CBOR map with the
// six fields (other entries are ignored and dropped). Fields are checked in record order, and
// a value of the wrong kind counts as missing. Errors: CborDecode, then Malformed or
// UnsupportedSchemaVersion for the first field that fails.
//
// The whole input is checked before any field is read, in place and without building values, and
// only the six fields are copied: memory beyond the record itself stays constant whatever the
// input's shape, and time is linear in its size.
[[nodiscard]] std::expected<MtacLeaf, LeafDecodeError> decode_mtac_leaf(ByteView leaf_bytes);

// A record read from the front of a sequence of records, and the bytes it spans there.
struct LeafPrefix {
  MtacLeaf leaf;
  std::size_t length;
};

// Returns the record at the front of `input`, a sequence of deterministic-CBOR items (RFC 8742),
// and where it ends; the bytes after it are not looked at. The record is decoded exactly as
// decode_mtac_leaf decodes those bytes alone, and its end is found by the same validating walk.
// Errors: as decode_mtac_leaf, except that bytes after the record are never an error.
[[nodiscard]] std::expected<LeafPrefix, LeafDecodeError> decode_mtac_leaf_prefix(ByteView input);

// A record whose bytes are exactly the canonical encoding of its leaf, read in place: the fields
// are views into the input, valid while it is.
struct CanonicalLeafView {
  std::string_view agent_id, sponsor_id;
  ByteView scope_items;  // the scopes' text items as they stand, each a shortest head and its text
  std::size_t scope_count = 0;
  std::uint64_t not_before = 0, not_after = 0;
  std::size_t length = 0;  // the record is input.first(length)
};

// Returns the record at the front of `input` when it is written exactly as serialize_canonical
// writes a leaf, with texts that are all ASCII: the six-entry map, keys in canonical order,
// shortest heads, unsigned integers, schema_version 1. Nothing for any other input, which may still
// decode: decode_mtac_leaf_prefix judges it. Every view it returns is a record that
// decode_mtac_leaf_prefix accepts with the same length and the same fields, and whose
// serialize_canonical is input.first(length): ASCII is well-formed UTF-8 in NFC, and each head is
// the one the serialiser writes. So the leaf hash may be taken over those bytes as they stand.
// Allocates nothing; time linear in the record's length.
[[nodiscard]] std::optional<CanonicalLeafView> read_canonical_leaf(ByteView input) noexcept;

// Returns the leaf that `view` reads, with its texts copied: the leaf decode_mtac_leaf gives for the
// same bytes. Throws std::bad_alloc only.
[[nodiscard]] MtacLeaf to_leaf(const CanonicalLeafView& view);

// Returns the text of the first item of `items` (text items as CanonicalLeafView::scope_items or
// TextList::items() hold them, never empty) and drops that item from its front.
[[nodiscard]] std::string_view take_text_item(ByteView& items) noexcept;

// Where the canonical encoding of a leaf is written, a piece at a time.
class ByteSink {
 public:
  virtual void write(ByteView bytes) = 0;

 protected:
  ~ByteSink() = default;
};

// Writes the canonical encoding of `leaf` to `out`, without building it first.
void write_canonical(const MtacLeaf& leaf, ByteSink& out);

// Returns the canonical encoding of `leaf`: the six-entry map in key-encoding order, texts in
// NFC. The leaf hash is taken over these bytes, not over the bytes the leaf was decoded from.
[[nodiscard]] ByteString serialize_canonical(const MtacLeaf& leaf);

}  // namespace halyx::leaf
