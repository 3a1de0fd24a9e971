// Tests of the STH envelope codec: exact bytes, refusals with their messages, the re-encoding
// property over generated records, and truncation at every offset.
#include <halyx/serialization/signed_tree_head.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>

#include "wire_builder.hpp"

namespace halyx::wire {
namespace {

using testing::HeadForm;
using testing::WireBuilder;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

ByteString cat(std::initializer_list<ByteString> parts) {
  ByteString out;
  for (const ByteString& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
ByteString zeros(std::size_t n) { return ByteString(n, 0); }
ByteString text(std::string_view s) { return ByteString(s.begin(), s.end()); }
ByteString bstr_head(std::uint64_t len) {
  WireBuilder b;
  b.head(2, len, "");
  return b.bytes;
}
ByteString envelope(const ByteString& body) { return cat({{0x82, 0x6C}, text("HALYX-STH-v1"), bstr_head(body.size()), body}); }

// The body of the record with zero hashes, tree_size 1, timestamp 1700000000000 and no extensions:
//   0: 0x85   1: log_id head, content 3..34   35: tree_size   36: timestamp (9 bytes)
//   45: root_hash head, content 47..78   79: extension count
const ByteString LOG_ID_ITEM = cat({{0x58, 0x20}, zeros(32)});
const ByteString TIMESTAMP_ITEM{0x1B, 0x00, 0x00, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00};
const ByteString ROOT_ITEM = cat({{0x58, 0x20}, zeros(32)});
const ByteString FIXED_FIELDS = cat({{0x85}, LOG_ID_ITEM, {0x01}, TIMESTAMP_ITEM, ROOT_ITEM});
const ByteString KNOWN_BODY = cat({FIXED_FIELDS, {0x80}});

SignedTreeHead known_record() {
  SignedTreeHead sth;
  sth.tree_size = 1;
  sth.timestamp = 1700000000000;
  return sth;
}

TEST(EncodeSignedTreeHead, WritesTheKnownEnvelope) {
  ASSERT_EQ(KNOWN_BODY.size(), 80u);
  EXPECT_EQ(encode_sth_body(known_record()), KNOWN_BODY);
  const ByteString want = cat({{0x82, 0x6C}, text("HALYX-STH-v1"), {0x58, 0x50}, KNOWN_BODY});
  ASSERT_EQ(want.size(), 96u);
  EXPECT_EQ(encode_signed_tree_head(known_record()), want);
  auto back = decode_signed_tree_head(want);
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, known_record());
}

TEST(EncodeSignedTreeHead, WritesExtensionsInOrderWithShortestHeads) {
  SignedTreeHead sth = known_record();
  sth.extensions = {{1, text("ab")}, {65535, {}}};
  const ByteString body = encode_sth_body(sth);
  EXPECT_EQ(body, cat({FIXED_FIELDS, {0x82, 0x82, 0x01, 0x42, 0x61, 0x62, 0x82, 0x19, 0xFF, 0xFF, 0x40}}));
  auto back = decode_signed_tree_head(encode_signed_tree_head(sth));
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, sth);
}

struct RefuseCase {
  const char* name;
  ByteString input;
  const char* want;
};
void PrintTo(const RefuseCase& c, std::ostream* os) { *os << c.name; }

class DecodeSignedTreeHeadRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(DecodeSignedTreeHeadRefuses, WithExactMessage) {
  auto got = decode_signed_tree_head(GetParam().input);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(message(got.error()), GetParam().want);
}

const ByteString EIGHT_FF{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    SignedTreeHead, DecodeSignedTreeHeadRefuses,
    ::testing::Values(
        // The envelope.
        RefuseCase{"empty", {}, "unexpected end of input at offset 0 while reading envelope outer array"},
        RefuseCase{"outer_array_of_3", cat({{0x83, 0x6C}, text("HALYX-STH-v1"), {0x40, 0x00}}),
                   "expected array length 2 at offset 0, got 3 (while reading envelope outer array)"},
        RefuseCase{"last_tag_character_differs", cat({{0x82, 0x6C}, text("HALYX-STH-v2"), {0x40}}),
                   "expected tstr WIRE_VERSION at offset 1, got 12-byte tstr"},
        RefuseCase{"tag_in_lower_case", cat({{0x82, 0x6C}, text("halyx-sth-v1"), {0x40}}),
                   "expected tstr WIRE_VERSION at offset 1, got 12-byte tstr"},
        RefuseCase{"tag_after_a_long_outer_head", cat({{0x98, 0x02, 0x6C}, text("HALYX-STH-v0"), {0x40}}),
                   "expected tstr WIRE_VERSION at offset 2, got 12-byte tstr"},
        RefuseCase{"empty_tag", cat({{0x82, 0x60}, bstr_head(80), KNOWN_BODY}),
                   "expected tstr WIRE_VERSION at offset 1, got 0-byte tstr"},
        RefuseCase{"tag_with_a_thirteenth_byte", cat({{0x82, 0x6D}, text("HALYX-STH-v1 "), {0x40}}),
                   "expected tstr WIRE_VERSION at offset 1, got 13-byte tstr"},
        RefuseCase{"tag_as_byte_string", cat({{0x82, 0x4C}, text("HALYX-STH-v1"), {0x40}}),
                   "expected CBOR major type 3 at offset 1, got 2 (while reading envelope version tstr)"},
        RefuseCase{"tag_longer_than_the_input", cat({{0x82, 0x7B}, EIGHT_FF, text("HALYX-STH-v1")}),
                   "unexpected end of input at offset 10 while reading envelope version tstr"},
        RefuseCase{"body_as_text", cat({{0x82, 0x6C}, text("HALYX-STH-v1"), {0x78, 0x50}, KNOWN_BODY}),
                   "expected CBOR major type 2 at offset 14, got 3 (while reading envelope body bstr)"},
        RefuseCase{"body_longer_than_the_input", cat({{0x82, 0x6C}, text("HALYX-STH-v1"), {0x5B}, EIGHT_FF, KNOWN_BODY}),
                   "unexpected end of input at offset 23 while reading envelope body bstr"},
        RefuseCase{"byte_after_the_envelope", cat({envelope(KNOWN_BODY), {0x00}}),
                   "trailing garbage: 1 bytes remain after decode"},
        RefuseCase{"envelope_checked_before_the_body", cat({envelope({0x84}), {0x00, 0x00}}),
                   "trailing garbage: 2 bytes remain after decode"},
        // The body; offsets count from its first byte.
        RefuseCase{"empty_body", envelope({}), "unexpected end of input at offset 0 while reading body array(5)"},
        RefuseCase{"body_array_of_4", envelope(cat({{0x84}, LOG_ID_ITEM, {0x01}, TIMESTAMP_ITEM, ROOT_ITEM})),
                   "expected array length 5 at offset 0, got 4 (while reading body array(5))"},
        RefuseCase{"empty_log_id", envelope(cat({{0x85, 0x40, 0x01}, TIMESTAMP_ITEM, ROOT_ITEM, {0x80}})),
                   "expected bstr length 32 at offset 1, got 0 (while reading log_id bstr(32))"},
        RefuseCase{"negative_tree_size", envelope(cat({{0x85}, LOG_ID_ITEM, {0x20}, TIMESTAMP_ITEM, ROOT_ITEM, {0x80}})),
                   "expected CBOR major type 0 at offset 35, got 1 (while reading tree_size)"},
        RefuseCase{"indefinite_timestamp", envelope(cat({{0x85}, LOG_ID_ITEM, {0x01, 0x1F}, ROOT_ITEM, {0x80}})),
                   "invalid CBOR argument info 31 at offset 36 (while reading timestamp)"},
        RefuseCase{"root_hash_of_33",
                   envelope(cat({{0x85}, LOG_ID_ITEM, {0x01}, TIMESTAMP_ITEM, {0x58, 0x21}, zeros(33), {0x80}})),
                   "expected bstr length 32 at offset 45, got 33 (while reading root_hash bstr(32))"},
        RefuseCase{"extensions_as_map", envelope(cat({FIXED_FIELDS, {0xA0}})),
                   "expected CBOR major type 4 at offset 79, got 5 (while reading extensions array)"},
        RefuseCase{"extension_of_3", envelope(cat({FIXED_FIELDS, {0x81, 0x83, 0x01, 0x40, 0x40}})),
                   "expected array length 2 at offset 80, got 3 (while reading extension pair)"},
        RefuseCase{"extension_type_65536",
                   envelope(cat({FIXED_FIELDS, {0x82, 0x82, 0x01, 0x40, 0x82, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x40}})),
                   "extension_type 65536 exceeds u16::MAX at offset 84"},
        RefuseCase{"extension_type_checked_before_payload",
                   envelope(cat({FIXED_FIELDS, {0x81, 0x82, 0x1B}, EIGHT_FF, {0x5B}, EIGHT_FF})),
                   "extension_type 18446744073709551615 exceeds u16::MAX at offset 81"},
        RefuseCase{"negative_extension_type", envelope(cat({FIXED_FIELDS, {0x81, 0x82, 0x20, 0x40}})),
                   "expected CBOR major type 0 at offset 81, got 1 (while reading extension_type)"},
        RefuseCase{"extension_data_as_text", envelope(cat({FIXED_FIELDS, {0x81, 0x82, 0x01, 0x61, 0x61}})),
                   "expected CBOR major type 2 at offset 82, got 3 (while reading extension_data)"},
        RefuseCase{"extension_data_longer_than_body", envelope(cat({FIXED_FIELDS, {0x81, 0x82, 0x01, 0x5B}, EIGHT_FF})),
                   "unexpected end of input at offset 91 while reading extension_data"},
        RefuseCase{"extension_count_2_with_1", envelope(cat({FIXED_FIELDS, {0x82, 0x82, 0x01, 0x40}})),
                   "unexpected end of input at offset 83 while reading extension pair"},
        RefuseCase{"extension_count_max", envelope(cat({FIXED_FIELDS, {0x9B}, EIGHT_FF, {0x82, 0x01, 0x40}})),
                   "unexpected end of input at offset 91 while reading extension pair"},
        RefuseCase{"byte_after_the_body", envelope(cat({KNOWN_BODY, {0x00}})),
                   "trailing garbage: 1 bytes remain after decode"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DecodeSignedTreeHeadAccepts, ExtensionTypeMaxAndRepeatedTypes) {
  const ByteString body = cat({FIXED_FIELDS, {0x83, 0x82, 0x19, 0xFF, 0xFF, 0x40, 0x82, 0x00, 0x41, 0x07, 0x82, 0x00, 0x40}});
  auto got = decode_signed_tree_head(envelope(body));
  ASSERT_TRUE(got.has_value()) << message(got.error());
  SignedTreeHead want = known_record();
  want.extensions = {{65535, {}}, {0, {0x07}}, {0, {}}};
  EXPECT_EQ(*got, want);
}

// ---- Generated records ----

// Unsigned values drawn so that every head length, and each boundary between two lengths, occurs.
std::uint64_t any_width(std::mt19937_64& rng, std::uint64_t max = U64_MAX) {
  static constexpr std::uint64_t EDGES[] = {0, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFF, 0x100000000, U64_MAX};
  std::uint64_t v = 0;
  switch (rng() % 7) {
    case 0: v = EDGES[rng() % std::size(EDGES)]; break;
    case 1: v = rng() % 24; break;
    case 2: v = 24 + rng() % (256 - 24); break;
    case 3: v = 256 + rng() % (65536 - 256); break;
    case 4: v = 65536 + rng() % (0x100000000 - 65536); break;
    default: v = 0x100000000 + rng() % (U64_MAX - 0x100000000); break;
  }
  return max == U64_MAX ? v : v % (max + 1);
}

Hash32 any_hash(std::mt19937_64& rng) {
  Hash32 h{};
  for (auto& b : h) b = static_cast<std::uint8_t>(rng());
  return h;
}

SignedTreeHead any_record(std::mt19937_64& rng) {
  SignedTreeHead sth;
  sth.log_id = any_hash(rng);
  sth.tree_size = any_width(rng);
  sth.timestamp = any_width(rng);
  sth.root_hash = any_hash(rng);
  const std::size_t n = rng() % 21;
  for (std::size_t i = 0; i < n; ++i) {
    SthExtension ext;
    ext.extension_type = static_cast<std::uint16_t>(any_width(rng, 65535));
    ext.extension_data.resize(rng() % 301);
    for (auto& b : ext.extension_data) b = static_cast<std::uint8_t>(rng());
    sth.extensions.push_back(std::move(ext));
  }
  return sth;
}

// Picks each head's form: shortest, or with probability widen_percent a longer one.
struct Forms {
  std::mt19937_64* rng;
  unsigned widen_percent;
  HeadForm operator()() const {
    if ((*rng)() % 100 >= widen_percent) return HeadForm::Shortest;
    static constexpr HeadForm LONG[] = {HeadForm::Arg1, HeadForm::Arg2, HeadForm::Arg4, HeadForm::Arg8};
    return LONG[(*rng)() % 4];
  }
};

WireBuilder build_body(const SignedTreeHead& sth, const Forms& form) {
  WireBuilder b;
  b.head(4, 5, "body array(5)", form());
  b.head(2, 32, "log_id bstr(32)", form());
  b.content(sth.log_id, "log_id bstr(32)");
  b.head(0, sth.tree_size, "tree_size", form());
  b.head(0, sth.timestamp, "timestamp", form());
  b.head(2, 32, "root_hash bstr(32)", form());
  b.content(sth.root_hash, "root_hash bstr(32)");
  b.head(4, sth.extensions.size(), "extensions array", form());
  for (const SthExtension& ext : sth.extensions) {
    b.head(4, 2, "extension pair", form());
    b.head(0, ext.extension_type, "extension_type", form());
    b.head(2, ext.extension_data.size(), "extension_data", form());
    b.content(ext.extension_data, "extension_data");
  }
  return b;
}

WireBuilder build_envelope(const ByteString& body, bool body_widened, const Forms& form) {
  WireBuilder b;
  b.head(4, 2, "envelope outer array", form());
  b.head(3, 12, "envelope version tstr", form());
  b.content(as_bytes(WIRE_VERSION), "envelope version tstr");
  b.head(2, body.size(), "envelope body bstr", form());
  b.content(body, "envelope body bstr");
  b.widened = b.widened || body_widened;
  return b;
}

TEST(SignedTreeHeadRoundTrip, GeneratedRecordsInShortestAndLongerForms) {
  std::mt19937_64 rng(0x5EED'57A7);
  int exact = 0;
  int differing = 0;
  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const SignedTreeHead sth = any_record(rng);
    const Forms form{&rng, i % 2 == 0 ? 0u : 15u};
    const WireBuilder body = build_body(sth, form);
    const WireBuilder env = build_envelope(body.bytes, body.widened, form);

    auto decoded = decode_signed_tree_head(env.bytes);
    ASSERT_TRUE(decoded.has_value()) << message(decoded.error());
    EXPECT_EQ(*decoded, sth);

    // Re-encoding reproduces the input exactly when, and only when, no head was longer than needed.
    const ByteString again = encode_signed_tree_head(*decoded);
    EXPECT_EQ(again == env.bytes, !env.widened);
    (env.widened ? differing : exact) += 1;
    // inspect judges canonical form by length alone, without building the re-encoding.
    auto view = read_signed_tree_head(env.bytes);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(encoded_length(*view), again.size());

    auto decoded_again = decode_signed_tree_head(again);
    ASSERT_TRUE(decoded_again.has_value()) << message(decoded_again.error());
    EXPECT_EQ(*decoded_again, sth);
  }
  EXPECT_GT(exact, 150);
  EXPECT_GT(differing, 150);
}

// Cutting the envelope anywhere fails at the start of the read that the cut falls in. Inside the
// body's content that is the envelope's body string, never a body field: the envelope is complete
// before the body is parsed.
TEST(DecodeSignedTreeHeadTruncated, AtEveryOffsetOfTheEnvelope) {
  std::mt19937_64 rng(0x7255'4C47);
  for (int i = 0; i < 12; ++i) {
    const SignedTreeHead sth = any_record(rng);
    const Forms form{&rng, i < 4 ? 0u : 30u};
    const WireBuilder body = build_body(sth, form);
    const WireBuilder env = build_envelope(body.bytes, body.widened, form);
    for (std::size_t cut = 0; cut < env.bytes.size(); ++cut) {
      SCOPED_TRACE("record " + std::to_string(i) + ", cut at " + std::to_string(cut));
      auto got = decode_signed_tree_head(ByteView(env.bytes).first(cut));
      ASSERT_FALSE(got.has_value());
      const auto& seg = env.segment_at(cut);
      ASSERT_EQ(got.error(), WireDecodeError(UnexpectedEnd{seg.begin, seg.what})) << message(got.error());
    }
  }
}

// A whole envelope around a cut body fails inside the body, at body offsets.
TEST(DecodeSignedTreeHeadTruncated, AtEveryOffsetOfTheBody) {
  std::mt19937_64 rng(0xB0D7'C077);
  for (int i = 0; i < 12; ++i) {
    const SignedTreeHead sth = any_record(rng);
    const WireBuilder body = build_body(sth, Forms{&rng, i < 4 ? 0u : 30u});
    for (std::size_t cut = 0; cut < body.bytes.size(); ++cut) {
      SCOPED_TRACE("record " + std::to_string(i) + ", cut at " + std::to_string(cut));
      auto got = decode_signed_tree_head(envelope(ByteString(body.bytes.begin(), body.bytes.begin() + static_cast<std::ptrdiff_t>(cut))));
      ASSERT_FALSE(got.has_value());
      const auto& seg = body.segment_at(cut);
      ASSERT_EQ(got.error(), WireDecodeError(UnexpectedEnd{seg.begin, seg.what})) << message(got.error());
    }
  }
}

}  // namespace
}  // namespace halyx::wire
