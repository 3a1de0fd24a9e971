// Tests of the MtacLeaf record: the worked example, every refusal with its display text, and
// the direct serialiser against the general encoder.
#include <halyx/serialization/mtac_leaf.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include <halyx/dcbor/hex.hpp>

namespace halyx::leaf {
namespace {

std::string hex(ByteView bytes) { return dcbor::to_hex(bytes); }

ByteString item(std::uint8_t major, std::uint64_t argument, std::string_view content = {}) {
  ByteString out;
  dcbor::append_head(out, major, argument);
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
ByteString text(std::string_view s) { return item(3, s.size(), s); }  // raw bytes, not normalised
ByteString uint(std::uint64_t n) { return item(0, n); }
ByteString cat(std::initializer_list<ByteString> parts) {
  ByteString out;
  for (const ByteString& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct RawEntry {
  ByteString key;
  ByteString value;
};
using RawEntries = std::vector<RawEntry>;

// The worked example's six entries, in canonical order.
RawEntries example_entries() {
  return {
      {text("agent_id"), text("a1")},
      {text("not_after"), uint(300)},
      {text("not_before"), uint(10)},
      {text("sponsor_id"), text("s1")},
      {text("schema_version"), uint(1)},
      {text("authorized_scopes"), cat({item(4, 1), text("read")})},
  };
}

// Writes the entries in the order given: no sorting, so tests can break the order on purpose.
ByteString raw_map(const RawEntries& entries) {
  ByteString out = item(5, entries.size());
  for (const RawEntry& e : entries) out = cat({out, e.key, e.value});
  return out;
}

RawEntries sorted(RawEntries entries) {
  std::sort(entries.begin(), entries.end(), [](const RawEntry& a, const RawEntry& b) { return a.key < b.key; });
  return entries;
}
RawEntries without(RawEntries entries, std::string_view name) {
  std::erase_if(entries, [&](const RawEntry& e) { return e.key == text(name); });
  return entries;
}
RawEntries with_value(RawEntries entries, std::string_view name, ByteString value) {
  for (RawEntry& e : entries) {
    if (e.key == text(name)) e.value = value;
  }
  return entries;
}

const char* const EXAMPLE_HEX =
    "a6686167656e745f6964626131696e6f745f616674657219012c6a6e6f745f6265666f72650a6a73706f6e736f72"
    "5f69646273316e736368656d615f76657273696f6e0171617574686f72697a65645f73636f706573816472656164";

TEST(MtacLeafExample, SerialisesToTheNinetyTwoBytes) {
  const MtacLeaf leaf{1, "a1", "s1", {"read"}, 10, 300};
  const ByteString bytes = serialize_canonical(leaf);
  EXPECT_EQ(bytes.size(), 92u);
  EXPECT_EQ(hex(bytes), EXAMPLE_HEX);
  EXPECT_EQ(bytes, raw_map(example_entries()));

  auto decoded = decode_mtac_leaf(bytes);
  ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
  EXPECT_EQ(*decoded, leaf);
}

TEST(MtacLeafExample, EmptyScopesAndBigBoundsRoundTrip) {
  const ByteString input = raw_map(with_value(with_value(with_value(example_entries(), "authorized_scopes", item(4, 0)),
                                                         "not_before", uint(0)),
                                              "not_after", uint(UINT64_MAX)));
  auto decoded = decode_mtac_leaf(input);
  ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
  EXPECT_TRUE(decoded->authorized_scopes.empty());
  EXPECT_EQ(decoded->not_after, UINT64_MAX);
  EXPECT_EQ(serialize_canonical(*decoded), input);
}

TEST(MtacLeafExample, ScopesKeepOrderAndDuplicates) {
  const ByteString scopes = cat({item(4, 3), text("write"), text("read"), text("write")});
  auto decoded = decode_mtac_leaf(raw_map(with_value(example_entries(), "authorized_scopes", scopes)));
  ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
  const std::vector<std::string> got(decoded->authorized_scopes.begin(), decoded->authorized_scopes.end());
  EXPECT_EQ(got, (std::vector<std::string>{"write", "read", "write"}));
}

struct RefusalCase {
  const char* name;
  ByteString input;
  std::string want;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class DecodeMtacLeafRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(DecodeMtacLeafRefuses, WithExactMessage) {
  auto got = decode_mtac_leaf(GetParam().input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(message(got.error()), GetParam().want);
}

std::string missing(const char* field) { return std::string("malformed leaf: ") + field + ": missing CBOR map key"; }

INSTANTIATE_TEST_SUITE_P(
    Fields, DecodeMtacLeafRefuses,
    ::testing::Values(
        RefusalCase{"top_level_array", {0x80}, "malformed leaf: expected map at top level"},
        RefusalCase{"top_level_integer", {0x01}, "malformed leaf: expected map at top level"},
        RefusalCase{"top_level_text", text("a1"), "malformed leaf: expected map at top level"},
        RefusalCase{"empty_map", {0xa0}, missing("schema_version")},
        RefusalCase{"no_schema_version", raw_map(without(example_entries(), "schema_version")), missing("schema_version")},
        RefusalCase{"schema_version_as_text", raw_map(sorted(with_value(example_entries(), "schema_version", text("1")))),
                    missing("schema_version")},
        RefusalCase{"schema_version_as_bytes", raw_map(with_value(example_entries(), "schema_version", item(2, 1, "\x01"))),
                    missing("schema_version")},
        RefusalCase{"schema_version_as_float", raw_map(with_value(example_entries(), "schema_version", {0xf9, 0x3e, 0x00})),
                    missing("schema_version")},
        RefusalCase{"schema_version_2", raw_map(with_value(example_entries(), "schema_version", uint(2))),
                    "unsupported schema_version: expected 1, got 2"},
        RefusalCase{"schema_version_0", raw_map(with_value(example_entries(), "schema_version", uint(0))),
                    "unsupported schema_version: expected 1, got 0"},
        RefusalCase{"schema_version_257", raw_map(with_value(example_entries(), "schema_version", uint(257))),
                    "unsupported schema_version: expected 1, got 257"},
        RefusalCase{"schema_version_minus_1", raw_map(with_value(example_entries(), "schema_version", {0x20})),
                    "unsupported schema_version: expected 1, got 18446744073709551615"},
        // The version is judged before any other field is looked at.
        RefusalCase{"schema_version_2_alone", raw_map({{text("schema_version"), uint(2)}}),
                    "unsupported schema_version: expected 1, got 2"},
        RefusalCase{"schema_version_only", raw_map({{text("schema_version"), uint(1)}}), missing("agent_id")},
        RefusalCase{"agent_id_as_bytes", raw_map(sorted(with_value(example_entries(), "agent_id", item(2, 2, "a1")))),
                    missing("agent_id")},
        RefusalCase{"agent_id_in_other_case",
                    raw_map(sorted([] {
                      RawEntries e = without(example_entries(), "agent_id");
                      e.push_back({text("Agent_id"), text("a1")});
                      return e;
                    }())),
                    missing("agent_id")},
        RefusalCase{"agent_id_as_bytes_key",
                    raw_map(sorted([] {
                      RawEntries e = without(example_entries(), "agent_id");
                      e.push_back({item(2, 8, "agent_id"), text("a1")});
                      return e;
                    }())),
                    missing("agent_id")},
        // Fields are tested in record order: agent_id is reported although not_after is missing too.
        RefusalCase{"agent_id_and_not_after_missing",
                    raw_map(without(without(example_entries(), "agent_id"), "not_after")), missing("agent_id")},
        RefusalCase{"no_sponsor_id", raw_map(without(example_entries(), "sponsor_id")), missing("sponsor_id")},
        RefusalCase{"sponsor_id_as_integer", raw_map(sorted(with_value(example_entries(), "sponsor_id", uint(5)))),
                    missing("sponsor_id")},
        RefusalCase{"no_scopes", raw_map(without(example_entries(), "authorized_scopes")), missing("authorized_scopes")},
        RefusalCase{"scopes_as_text", raw_map(with_value(example_entries(), "authorized_scopes", text("read"))),
                    missing("authorized_scopes")},
        RefusalCase{"scope_element_integer",
                    raw_map(with_value(example_entries(), "authorized_scopes", cat({item(4, 2), text("read"), uint(7)}))),
                    missing("authorized_scopes")},
        RefusalCase{"no_not_before", raw_map(without(example_entries(), "not_before")), missing("not_before")},
        RefusalCase{"not_before_as_text", raw_map(with_value(example_entries(), "not_before", text("10"))),
                    missing("not_before")},
        RefusalCase{"no_not_after", raw_map(without(example_entries(), "not_after")), missing("not_after")},
        RefusalCase{"not_after_non_integral_float",
                    raw_map(with_value(example_entries(), "not_after", {0xfb, 0x3f, 0xb9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9a})),
                    missing("not_after")}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cbor, DecodeMtacLeafRefuses,
    ::testing::Values(
        RefusalCase{"empty_input", {}, "CBOR decode error: early end of CBOR data"},
        RefusalCase{"cut_short", [] {
                      ByteString b = raw_map(example_entries());
                      b.pop_back();
                      return b;
                    }(),
                    "CBOR decode error: early end of CBOR data"},
        RefusalCase{"trailing_bytes", cat({raw_map(example_entries()), {0x00, 0x01, 0x02}}),
                    "CBOR decode error: the decoded CBOR had 3 extra bytes at the end"},
        // The record's own field order is not the canonical one.
        RefusalCase{"fields_in_record_order",
                    raw_map({{text("schema_version"), uint(1)},
                             {text("agent_id"), text("a1")},
                             {text("sponsor_id"), text("s1")},
                             {text("authorized_scopes"), cat({item(4, 1), text("read")})},
                             {text("not_before"), uint(10)},
                             {text("not_after"), uint(300)}}),
                    "CBOR decode error: the decoded CBOR map has keys that are not in canonical order"},
        RefusalCase{"duplicate_agent_id",
                    raw_map([] {
                      RawEntries e = example_entries();
                      e.insert(e.begin(), {text("agent_id"), text("a0")});
                      return e;
                    }()),
                    "CBOR decode error: the decoded CBOR map has a duplicate key"},
        RefusalCase{"agent_id_not_nfc", raw_map(with_value(example_entries(), "agent_id", text("e\xcc\x81"))),
                    "CBOR decode error: a CBOR string was not encoded in Unicode Canonical Normalization Form C"},
        RefusalCase{"agent_id_bad_utf8", raw_map(with_value(example_entries(), "agent_id", text("a\xe9"))),
                    "CBOR decode error: invalid UTF\xE2\x80\x91" "8 string: incomplete utf-8 byte sequence from index 1"},
        // An entry nobody reads must still be deterministic CBOR.
        RefusalCase{"unread_entry_not_nfc",
                    raw_map(sorted([] {
                      RawEntries e = example_entries();
                      e.push_back({text("zz_extra"), cat({item(4, 1), text("A\xcc\x8a")})});
                      return e;
                    }())),
                    "CBOR decode error: a CBOR string was not encoded in Unicode Canonical Normalization Form C"},
        RefusalCase{"unread_entry_with_misordered_map",
                    raw_map(sorted([] {
                      RawEntries e = example_entries();
                      e.push_back({text("zz_extra"), raw_map({{uint(2), uint(0)}, {uint(1), uint(0)}})});
                      return e;
                    }())),
                    "CBOR decode error: the decoded CBOR map has keys that are not in canonical order"},
        RefusalCase{"unread_entry_bad_simple",
                    raw_map(sorted([] {
                      RawEntries e = example_entries();
                      e.push_back({text("zz_extra"), {0xf7}});
                      return e;
                    }())),
                    "CBOR decode error: an invalid CBOR simple value was encountered"},
        RefusalCase{"indefinite_map", {0xbf, 0xff}, "CBOR decode error: unsupported value in CBOR header"},
        RefusalCase{"non_shortest_bound", raw_map(with_value(example_entries(), "not_before", {0x18, 0x0a})),
                    "CBOR decode error: a CBOR numeric value was encoded in non-canonical form"},
        RefusalCase{"too_deep", cat({{0xa1, 0x61, 0x78}, ByteString(300, 0x81), {0x00}}),
                    "CBOR decode error: the decoded CBOR nests arrays, maps and tags more than 256 levels deep"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(DecodeMtacLeaf, ExtraEntriesAreDroppedFromTheReserialisation) {
  RawEntries entries = example_entries();
  entries.push_back({uint(7), text("first of all")});               // sorts before every text key
  entries.push_back({text("zz_extra"), raw_map({{uint(1), {0xf6}}})});  // between agent_id and not_after
  entries.push_back({item(2, 8, "agent_id"), text("not the agent")});   // bytes key with the name
  const ByteString input = raw_map(sorted(entries));
  auto decoded = decode_mtac_leaf(input);
  ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
  EXPECT_EQ(decoded->agent_id, "a1");
  EXPECT_EQ(hex(serialize_canonical(*decoded)), EXAMPLE_HEX);
}

TEST(DecodeMtacLeaf, IntegerFieldsTakeNegativeAndReducedValues) {
  // not_before -1 reads as its two's-complement pattern; not_after as the single-precision
  // float 3000000000 reads as that integer. Both re-serialise as unsigned integers.
  const ByteString input = raw_map(with_value(with_value(example_entries(), "not_before", {0x20}), "not_after",
                                              {0xfa, 0x4f, 0x32, 0xd0, 0x5e}));
  auto decoded = decode_mtac_leaf(input);
  ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
  EXPECT_EQ(decoded->not_before, 18446744073709551615u);
  EXPECT_EQ(decoded->not_after, 3000000000u);
  const ByteString again = serialize_canonical(*decoded);
  EXPECT_NE(again, input);
  EXPECT_EQ(again, raw_map(with_value(with_value(example_entries(), "not_before", {0x1b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
                                      "not_after", {0x1a, 0xb2, 0xd0, 0x5e, 0x00})));
}

TEST(DecodeMtacLeaf, ErrorTexts) {
  EXPECT_EQ(message(LeafDecodeError{CborDecode{"x"}}), "CBOR decode error: x");
  EXPECT_EQ(message(LeafDecodeError{UnsupportedSchemaVersion{18446744073709551615u}}),
            "unsupported schema_version: expected 1, got 18446744073709551615");
  EXPECT_EQ(message(LeafDecodeError{Malformed{"expected map at top level"}}), "malformed leaf: expected map at top level");
}

// read_canonical_leaf is a shortcut past the decoder and the serialiser, so it must never differ
// from them: wherever it gives a view, the decoder accepts the same bytes with the same length and
// fields, and their canonical form is the bytes themselves (the leaf hash is taken over them).
void expect_agrees_with_decoder(ByteView input) {
  const auto view = read_canonical_leaf(input);
  if (!view) return;
  const auto decoded = decode_mtac_leaf_prefix(input);
  ASSERT_TRUE(decoded.has_value()) << hex(input) << ": " << message(decoded.error());
  ASSERT_EQ(view->length, decoded->length) << hex(input);
  EXPECT_EQ(hex(serialize_canonical(decoded->leaf)), hex(input.first(view->length)));
  EXPECT_EQ(view->agent_id, decoded->leaf.agent_id);
  EXPECT_EQ(view->sponsor_id, decoded->leaf.sponsor_id);
  EXPECT_EQ(view->not_before, decoded->leaf.not_before);
  EXPECT_EQ(view->not_after, decoded->leaf.not_after);
  std::vector<std::string_view> scopes;
  for (ByteView items = view->scope_items; !items.empty();) scopes.push_back(take_text_item(items));
  EXPECT_EQ(scopes.size(), view->scope_count);
  EXPECT_EQ(scopes, std::vector<std::string_view>(decoded->leaf.authorized_scopes.begin(),
                                                  decoded->leaf.authorized_scopes.end()));
  EXPECT_EQ(to_leaf(*view), decoded->leaf);
}

struct LayoutCase {
  const char* name;
  ByteString input;
  bool canonical;  // whether read_canonical_leaf gives a view
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class ReadCanonicalLeaf : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ReadCanonicalLeaf, AgreesWithTheDecoder) {
  const LayoutCase& c = GetParam();
  EXPECT_EQ(read_canonical_leaf(c.input).has_value(), c.canonical);
  expect_agrees_with_decoder(c.input);
}

ByteString example() { return raw_map(example_entries()); }
ByteString example_with(std::string_view name, ByteString value) {
  return raw_map(with_value(example_entries(), name, std::move(value)));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ReadCanonicalLeaf,
    ::testing::Values(
        LayoutCase{"example", example(), true},
        LayoutCase{"followed_by_another_record", cat({example(), example()}), true},
        LayoutCase{"empty_scopes_and_biggest_bounds",
                   raw_map(with_value(with_value(example_entries(), "authorized_scopes", item(4, 0)), "not_after",
                                      uint(UINT64_MAX))),
                   true},
        LayoutCase{"long_texts_two_byte_heads",
                   raw_map(with_value(example_entries(), "agent_id", text(std::string(300, 'a')))), true},
        LayoutCase{"control_characters_and_quotes", example_with("sponsor_id", text("\"\\\n\x01")), true},
        LayoutCase{"many_scopes",
                   example_with("authorized_scopes", cat({item(4, 24), text("a"), text("b"), text("c"), text("d"),
                                                          text("e"), text("f"), text("g"), text("h"), text("i"),
                                                          text("j"), text("k"), text("l"), text("m"), text("n"),
                                                          text("o"), text("p"), text("q"), text("r"), text("s"),
                                                          text("t"), text("u"), text("v"), text("w"), text("x")})),
                   true},
        // Valid records whose bytes are not their canonical form, or not ASCII: left to the decoder.
        LayoutCase{"non_ascii_text", example_with("agent_id", text("\xc3\xa9")), false},
        LayoutCase{"negative_not_before", example_with("not_before", {0x20}), false},
        LayoutCase{"float_not_after", example_with("not_after", {0xfa, 0x4f, 0x32, 0xd0, 0x5e}), false},
        LayoutCase{"extra_entry", raw_map(sorted([] {
                     RawEntries e = example_entries();
                     e.push_back({text("zz_extra"), uint(1)});
                     return e;
                   }())),
                   false},
        // Records the decoder refuses.
        LayoutCase{"non_shortest_not_before", example_with("not_before", {0x18, 0x0a}), false},
        LayoutCase{"non_shortest_text_head", example_with("sponsor_id", {0x78, 0x02, 's', '1'}), false},
        LayoutCase{"non_shortest_scope_count", example_with("authorized_scopes", cat({{0x98, 0x01}, text("read")})),
                   false},
        LayoutCase{"schema_version_2", example_with("schema_version", uint(2)), false},
        LayoutCase{"scope_not_a_text", example_with("authorized_scopes", cat({item(4, 1), uint(5)})), false},
        LayoutCase{"scope_count_past_the_input", example_with("authorized_scopes", cat({item(4, 2), text("read")})),
                   false},
        LayoutCase{"field_missing", raw_map(without(example_entries(), "not_after")), false},
        LayoutCase{"keys_out_of_order", [] {
                     RawEntries e = example_entries();
                     std::swap(e[1], e[2]);
                     return raw_map(e);
                   }(),
                   false},
        LayoutCase{"empty", ByteString{}, false}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(ReadCanonicalLeaf, AgreesWithTheDecoderOnEveryCutAndOneByteChange) {
  for (const ByteString& record : {example(), example_with("agent_id", text(std::string(30, 'x')))}) {
    for (std::size_t n = 0; n <= record.size(); ++n) {
      EXPECT_EQ(read_canonical_leaf(ByteView(record).first(n)).has_value(), n == record.size()) << n;
    }
    for (std::size_t at = 0; at < record.size(); ++at) {
      for (const int b : {0x00, 0x01, 0x17, 0x18, 0x19, 0x1b, 0x20, 0x38, 0x60, 0x61, 0x7f, 0x80, 0x81, 0x9f, 0xa6,
                          0xa7, 0xc3, 0xf9, 0xfa, 0xff, record[at] ^ 0x01, record[at] ^ 0x20}) {
        ByteString changed = cat({record, example()});  // a record after it, as in a sequence
        changed[at] = static_cast<std::uint8_t>(b);
        SCOPED_TRACE(std::to_string(at) + " <- " + std::to_string(b));
        expect_agrees_with_decoder(changed);
      }
    }
  }
}

// The direct serialiser must give exactly what building the map and encoding it gives,
// texts in any form included.
dcbor::CborValue as_map(const MtacLeaf& leaf) {
  dcbor::CborMap m;
  m.insert("schema_version", dcbor::CborValue::unsigned_int(leaf.schema_version));
  m.insert("agent_id", dcbor::CborValue::text(leaf.agent_id));
  m.insert("sponsor_id", dcbor::CborValue::text(leaf.sponsor_id));
  m.insert("authorized_scopes", dcbor::CborValue::text_list(
                                              std::vector<std::string>(leaf.authorized_scopes.begin(), leaf.authorized_scopes.end())));
  m.insert("not_before", dcbor::CborValue::unsigned_int(leaf.not_before));
  m.insert("not_after", dcbor::CborValue::unsigned_int(leaf.not_after));
  return dcbor::CborValue::map(std::move(m));
}

TEST(SerializeCanonical, MatchesEncodingTheMap) {
  std::mt19937_64 rng(0x1eaf);
  const std::vector<std::string> texts = {"", "a1", "agent-0042", "e\xcc\x81", "\xc3\xa9", "\xe1\x84\x92\xe1\x85\xa1",
                                          "\xe2\x84\xab", std::string(300, 'q'), "bad\xff", "\xf0\x9f\x98\x80"};
  const auto pick = [&] { return texts[rng() % texts.size()]; };
  for (int i = 0; i < 500; ++i) {
    const auto version = static_cast<std::uint8_t>(rng() % 2 == 0 ? 1 : rng());
    MtacLeaf leaf{version, pick(), pick(), {}, rng() >> (rng() % 64), rng() >> (rng() % 64)};
    const std::size_t scopes = rng() % 30;
    for (std::size_t s = 0; s < scopes; ++s) leaf.authorized_scopes.push_back(pick());
    const ByteString direct = serialize_canonical(leaf);
    ASSERT_EQ(hex(direct), hex(dcbor::encode_dcbor(as_map(leaf)))) << "iteration " << i;
    if (leaf.schema_version == 1) {
      // Anything serialised decodes again, to the record with its texts in NFC.
      auto back = decode_mtac_leaf(direct);
      ASSERT_TRUE(back.has_value()) << message(back.error());
      EXPECT_EQ(back->agent_id, dcbor::to_nfc(leaf.agent_id));
      EXPECT_EQ(serialize_canonical(*back), direct);
    }
  }
}

}  // namespace
}  // namespace halyx::leaf
