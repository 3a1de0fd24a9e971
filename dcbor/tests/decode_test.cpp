// decode_test.cpp: what the strict decoder accepts, what it refuses, and with which text.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include "test_util.hpp"

namespace halyx::dcbor {
namespace {

using test::from_hex;
using test::to_hex;

// Returns the message of decoding `hex`, or "ok" when it decodes.
std::string decode_outcome(std::string_view hex) {
  const ByteString input = from_hex(hex);
  auto v = decode_dcbor(input);
  return v ? std::string("ok") : message(v.error());
}

// The same for the validating pass, which must judge every input exactly as the decoder does.
std::string validate_outcome(std::string_view hex) {
  const ByteString input = from_hex(hex);
  auto v = validate_dcbor(input);
  return v ? std::string("ok") : message(v.error());
}

constexpr const char* TRUNCATED = "early end of CBOR data";
constexpr const char* RESERVED = "unsupported value in CBOR header";
constexpr const char* NON_SHORTEST = "a CBOR numeric value was encoded in non-canonical form";
constexpr const char* BAD_SIMPLE = "an invalid CBOR simple value was encountered";
constexpr const char* NOT_NFC = "a CBOR string was not encoded in Unicode Canonical Normalization Form C";
constexpr const char* KEY_ORDER = "the decoded CBOR map has keys that are not in canonical order";
constexpr const char* DUPLICATE = "the decoded CBOR map has a duplicate key";
constexpr const char* TOO_DEEP = "the decoded CBOR nests arrays, maps and tags more than 256 levels deep";

struct RefusalCase {
  const char* name;
  const char* hex;
  std::string want;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class DecodeRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(DecodeRefuses, WithExactMessage) {
  EXPECT_EQ(decode_outcome(GetParam().hex), GetParam().want);
  EXPECT_EQ(validate_outcome(GetParam().hex), GetParam().want);
}

std::string bad_utf8(const char* detail) {
  return std::string("invalid UTF\xE2\x80\x91" "8 string: ") + detail;  // U+2011, not '-'
}

INSTANTIATE_TEST_SUITE_P(
    Heads, DecodeRefuses,
    ::testing::Values(RefusalCase{"empty_input", "", TRUNCATED},
                      RefusalCase{"head_missing_its_byte", "18", TRUNCATED},
                      RefusalCase{"head_missing_two_bytes", "19 01", TRUNCATED},
                      RefusalCase{"head_missing_four_bytes", "1a 00 01 00", TRUNCATED},
                      RefusalCase{"head_missing_eight_bytes", "1b 00 00 00 01 00 00 00", TRUNCATED},
                      // Length is judged before shortest form: 18 alone is short, not non-canonical.
                      RefusalCase{"short_and_non_shortest", "19 00", TRUNCATED},
                      RefusalCase{"one_byte_for_23", "18 17", NON_SHORTEST},
                      RefusalCase{"two_bytes_for_255", "19 00 ff", NON_SHORTEST},
                      RefusalCase{"four_bytes_for_65535", "1a 00 00 ff ff", NON_SHORTEST},
                      RefusalCase{"eight_bytes_for_2p32_minus_1", "1b 00 00 00 00 ff ff ff ff", NON_SHORTEST},
                      RefusalCase{"negative_non_shortest", "38 00", NON_SHORTEST},
                      RefusalCase{"length_non_shortest", "78 01 61", NON_SHORTEST},
                      RefusalCase{"count_non_shortest", "99 00 01 00", NON_SHORTEST},
                      RefusalCase{"tag_non_shortest", "d8 01 00", NON_SHORTEST},
                      RefusalCase{"indefinite_bytes", "5f", RESERVED},
                      RefusalCase{"indefinite_text", "7f", RESERVED},
                      RefusalCase{"indefinite_array", "9f", RESERVED},
                      RefusalCase{"indefinite_map", "bf", RESERVED},
                      RefusalCase{"break", "ff", RESERVED},
                      RefusalCase{"ai_28_unsigned", "1c", RESERVED},
                      RefusalCase{"ai_29_negative", "3d", RESERVED},
                      RefusalCase{"ai_30_tag", "de", RESERVED},
                      RefusalCase{"ai_31_tag", "df", RESERVED},
                      RefusalCase{"ai_28_simple", "fc", RESERVED}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SimpleValues, DecodeRefuses,
    ::testing::Values(RefusalCase{"undefined", "f7", BAD_SIMPLE}, RefusalCase{"simple_0", "e0", BAD_SIMPLE},
                      RefusalCase{"simple_19", "f3", BAD_SIMPLE},
                      RefusalCase{"two_byte_simple_24", "f8 18", BAD_SIMPLE},
                      RefusalCase{"two_byte_simple_32", "f8 20", BAD_SIMPLE},
                      RefusalCase{"two_byte_simple_255", "f8 ff", BAD_SIMPLE},
                      RefusalCase{"two_byte_simple_16", "f8 10", NON_SHORTEST},
                      RefusalCase{"two_byte_simple_cut", "f8", TRUNCATED}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Floats, DecodeRefuses,
    ::testing::Values(RefusalCase{"half_one", "f9 3c 00", NON_SHORTEST},
                      RefusalCase{"half_zero", "f9 00 00", NON_SHORTEST},
                      RefusalCase{"half_negative_zero", "f9 80 00", NON_SHORTEST},
                      RefusalCase{"half_max_65504", "f9 7b ff", NON_SHORTEST},
                      RefusalCase{"half_minus_four", "f9 c4 00", NON_SHORTEST},
                      RefusalCase{"half_nan_payload", "f9 7e 01", NON_SHORTEST},
                      RefusalCase{"half_negative_nan", "f9 fe 00", NON_SHORTEST},
                      RefusalCase{"half_signalling_nan", "f9 7c 01", NON_SHORTEST},
                      RefusalCase{"half_cut", "f9 7e", TRUNCATED},
                      RefusalCase{"single_nan", "fa 7f c0 00 00", NON_SHORTEST},
                      RefusalCase{"single_infinity", "fa 7f 80 00 00", NON_SHORTEST},
                      RefusalCase{"single_one_and_a_half", "fa 3f c0 00 00", NON_SHORTEST},
                      RefusalCase{"single_half_subnormal", "fa 33 80 00 00", NON_SHORTEST},
                      RefusalCase{"single_integral_65536", "fa 47 80 00 00", NON_SHORTEST},
                      RefusalCase{"single_2p31", "fa 4f 00 00 00", NON_SHORTEST},
                      RefusalCase{"single_minus_2p31", "fa cf 00 00 00", NON_SHORTEST},
                      RefusalCase{"double_nan", "fb 7f f8 00 00 00 00 00 00", NON_SHORTEST},
                      RefusalCase{"double_single_value", "fb 3f f8 00 00 00 00 00 00", NON_SHORTEST},
                      RefusalCase{"double_negative_infinity", "fb ff f0 00 00 00 00 00 00", NON_SHORTEST},
                      RefusalCase{"double_integral_2p53_plus_2", "fb 43 40 00 00 00 00 00 01", NON_SHORTEST},
                      RefusalCase{"double_integral_below_2p63", "fb 43 df ff ff ff ff ff ff", NON_SHORTEST},
                      RefusalCase{"double_cut", "fb 3f f1 99 99", TRUNCATED}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strings, DecodeRefuses,
    ::testing::Values(
        RefusalCase{"bytes_cut", "44 01 02 03", TRUNCATED}, RefusalCase{"text_cut", "62 61", TRUNCATED},
        RefusalCase{"huge_byte_length", "5b ff ff ff ff ff ff ff ff 00", TRUNCATED},
        RefusalCase{"huge_text_length", "7b 7f ff ff ff ff ff ff ff 61", TRUNCATED},
        RefusalCase{"lone_lead_at_end", "61 e9", bad_utf8("incomplete utf-8 byte sequence from index 0")},
        RefusalCase{"lead_then_ascii", "62 e9 41", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"cut_after_valid_prefix", "63 41 e2 82", bad_utf8("incomplete utf-8 byte sequence from index 1")},
        RefusalCase{"four_byte_cut_by_ascii", "64 41 f0 90 41", bad_utf8("invalid utf-8 sequence of 2 bytes from index 1")},
        RefusalCase{"four_byte_three_valid", "65 41 42 f0 90 80", bad_utf8("incomplete utf-8 byte sequence from index 2")},
        RefusalCase{"three_of_four_then_ascii", "64 f0 90 80 41", bad_utf8("invalid utf-8 sequence of 3 bytes from index 0")},
        RefusalCase{"stray_continuation", "61 80", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"overlong_slash", "62 c0 af", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"overlong_three_byte", "63 e0 80 af", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"surrogate", "63 ed a0 80", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"above_10ffff", "64 f4 90 80 80", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        // Each lead byte's range ends exactly where the forms it would allow stop being valid.
        RefusalCase{"lead_c1", "62 c1 bf", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"overlong_three_byte_edge", "63 e0 9f bf", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"overlong_four_byte_edge", "64 f0 8f bf bf", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"lead_f5", "64 f5 80 80 80", bad_utf8("invalid utf-8 sequence of 1 bytes from index 0")},
        RefusalCase{"byte_ff", "63 61 62 ff", bad_utf8("invalid utf-8 sequence of 1 bytes from index 2")},
        RefusalCase{"fault_after_long_ascii", "6a 30 31 32 33 34 35 36 37 38 c3",
                    bad_utf8("incomplete utf-8 byte sequence from index 9")},
        RefusalCase{"e_plus_combining_acute", "63 65 cc 81", NOT_NFC},
        RefusalCase{"marks_out_of_order", "65 61 cc 81 cc a3", NOT_NFC},
        RefusalCase{"singleton", "63 e2 84 ab", NOT_NFC},
        // A map key is text like any other.
        RefusalCase{"non_nfc_key", "a1 63 65 cc 81 00", NOT_NFC}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Containers, DecodeRefuses,
    ::testing::Values(
        RefusalCase{"array_short_of_items", "83 01 02", TRUNCATED},
        RefusalCase{"huge_array_count", "9b ff ff ff ff ff ff ff ff", TRUNCATED},
        RefusalCase{"huge_array_count_some_items", "9b ff ff ff ff ff ff ff ff 01 02 03", TRUNCATED},
        RefusalCase{"huge_map_count", "bb ff ff ff ff ff ff ff ff", TRUNCATED},
        RefusalCase{"map_missing_value", "a1 61 61", TRUNCATED}, RefusalCase{"tag_without_item", "c1", TRUNCATED},
        RefusalCase{"keys_b_then_a", "a2 61 62 00 61 61 00", KEY_ORDER},
        RefusalCase{"keys_a_then_a", "a2 61 61 00 61 61 00", DUPLICATE},
        RefusalCase{"keys_aa_then_b", "a2 62 61 61 00 61 62 00", KEY_ORDER},
        RefusalCase{"minus_one_before_zero", "a2 20 00 00 00", KEY_ORDER},
        RefusalCase{"text_before_bytes", "a2 61 61 00 41 61 00", KEY_ORDER},
        // A key both misplaced and repeated is reported as the duplicate.
        RefusalCase{"repeat_of_an_earlier_key", "a3 61 61 00 61 62 00 61 61 00", DUPLICATE},
        RefusalCase{"repeated_array_key", "a2 81 01 00 81 01 00", DUPLICATE},
        // The key's value is decoded before the key's place is judged.
        RefusalCase{"misplaced_key_with_cut_value", "a2 61 62 00 61 61 18", TRUNCATED},
        RefusalCase{"misplaced_key_with_bad_value", "a2 61 62 00 61 61 f7", BAD_SIMPLE},
        RefusalCase{"duplicate_key_with_bad_value", "a2 61 61 00 61 61 f9 3c 00", NON_SHORTEST},
        // The first fault in byte order decides, however deep.
        RefusalCase{"non_shortest_before_bad_simple", "82 18 17 f7", NON_SHORTEST},
        RefusalCase{"bad_simple_before_non_shortest", "82 f7 18 17", BAD_SIMPLE},
        RefusalCase{"nested_fault_before_order", "a2 61 62 81 f7 61 61 00", BAD_SIMPLE},
        RefusalCase{"inner_map_order_in_unread_value", "a1 61 78 a2 61 62 00 61 61 00", KEY_ORDER},
        RefusalCase{"trailing_two_bytes", "00 00 00", "the decoded CBOR had 2 extra bytes at the end"},
        RefusalCase{"array_then_break", "80 ff", "the decoded CBOR had 1 extra bytes at the end"},
        RefusalCase{"fault_inside_beats_trailing", "81 f7 00", BAD_SIMPLE}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

struct AcceptCase {
  const char* name;
  const char* hex;
  const char* reencoded;  // null: the input itself
};

void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.name; }

class DecodeAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(DecodeAccepts, AndReencodes) {
  const ByteString input = from_hex(GetParam().hex);
  auto v = decode_dcbor(input);
  ASSERT_TRUE(v.has_value()) << message(v.error());
  const char* want = GetParam().reencoded != nullptr ? GetParam().reencoded : GetParam().hex;
  EXPECT_EQ(to_hex(encode_dcbor(*v)), to_hex(from_hex(want)));
  EXPECT_EQ(validate_outcome(GetParam().hex), "ok");
}

INSTANTIATE_TEST_SUITE_P(
    Canonical, DecodeAccepts,
    ::testing::Values(AcceptCase{"byte_24", "18 18", nullptr}, AcceptCase{"max_unsigned", "1b ff ff ff ff ff ff ff ff", nullptr},
                      AcceptCase{"min_negative", "3b ff ff ff ff ff ff ff ff", nullptr},
                      AcceptCase{"false_true_null", "83 f4 f5 f6", nullptr},
                      AcceptCase{"half_subnormal", "f9 00 ff", nullptr}, AcceptCase{"half_one_and_a_half", "f9 3e 00", nullptr},
                      AcceptCase{"half_infinity", "f9 7c 00", nullptr},
                      AcceptCase{"half_negative_infinity", "f9 fc 00", nullptr},
                      AcceptCase{"canonical_nan", "f9 7e 00", nullptr},
                      AcceptCase{"single_not_half", "fa 33 00 00 00", nullptr},
                      AcceptCase{"single_2p32_stays_float", "fa 4f 80 00 00", nullptr},
                      AcceptCase{"single_max", "fa 7f 7f ff ff", nullptr},
                      AcceptCase{"single_minus_2p65_stays_float", "fa e0 00 00 00", nullptr},
                      AcceptCase{"double_tenth", "fb 3f b9 99 99 99 99 99 9a", nullptr},
                      AcceptCase{"double_above_2p64", "fb 43 f0 00 00 00 00 00 01", nullptr},
                      AcceptCase{"precomposed_e_acute", "62 c3 a9", nullptr},
                      AcceptCase{"hangul_and_astral", "67 ed 95 9c f0 9f 98 80", nullptr},
                      AcceptCase{"tag_max", "db ff ff ff ff ff ff ff ff 00", nullptr},
                      AcceptCase{"tag_of_tag", "c1 c2 40", nullptr},
                      AcceptCase{"keys_a_then_aa", "a2 61 61 00 62 61 61 00", nullptr},
                      AcceptCase{"keys_of_every_kind", "a6 0a 00 18 64 00 20 00 41 61 00 61 61 00 80 00", nullptr},
                      AcceptCase{"float_keys", "a2 f9 3e 00 00 fb 3f b9 99 99 99 99 99 9a 00", nullptr},
                      AcceptCase{"nested_maps", "a1 61 6b a2 61 61 80 61 62 a0", nullptr}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

// Integral floats beyond the integer range of the narrower widths are accepted and become
// integers: the one place where re-encoding changes the bytes.
INSTANTIATE_TEST_SUITE_P(
    NumericReduction, DecodeAccepts,
    ::testing::Values(AcceptCase{"single_3000000000", "fa 4f 32 d0 5e", "1a b2 d0 5e 00"},
                      AcceptCase{"single_2p31_plus_256", "fa 4f 00 00 01", "1a 80 00 01 00"},
                      AcceptCase{"single_minus_2p32", "fa cf 80 00 00", "3a ff ff ff ff"},
                      AcceptCase{"single_minus_2p64", "fa df 80 00 00", "3b ff ff ff ff ff ff ff ff"},
                      AcceptCase{"double_above_2p63", "fb 43 e0 00 00 00 00 00 01", "1b 80 00 00 00 00 00 08 00"},
                      AcceptCase{"double_below_minus_2p63", "fb c3 e0 00 00 00 00 00 01", "3b 80 00 00 00 00 00 07 ff"},
                      // A reduced key takes its place by its integer encoding: 1a.. sorts before 61.
                      AcceptCase{"reduced_key_sorts_as_integer", "a2 fa 4f 32 d0 5e 00 61 61 00",
                                 "a2 1a b2 d0 5e 00 00 61 61 00"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(DecodeReduction, KeysAreOrderedByTheirCanonicalEncoding) {
  // 4294967295 then the single 3000000000: ascending as read (1a < fa), but the second
  // encodes as 1a b2 d0 5e 00, below 1a ff ff ff ff.
  EXPECT_EQ(decode_outcome("a2 1a ff ff ff ff 00 fa 4f 32 d0 5e 00"), KEY_ORDER);
  // The same two keys the other way round: descending as read, ascending as encoded.
  auto v = decode_dcbor(from_hex("a2 fa 4f 32 d0 5e 00 1a ff ff ff ff 00"));
  ASSERT_TRUE(v.has_value()) << message(v.error());
  EXPECT_EQ(to_hex(encode_dcbor(*v)), "a21ab2d05e00001affffffff00");
  EXPECT_EQ(decode_outcome("a2 1a b2 d0 5e 00 00 fa 4f 32 d0 5e 00"), DUPLICATE);
}

// Keys compared in place must be compared as they would encode: a float read as an integer counts
// as that integer wherever it sits in the key, and a string's content never counts as a head.
TEST(DecodeReduction, KeysWithReducedFloatsInsideCompareAsEncoded) {
  struct Row {
    const char* name;
    const char* hex;
    std::string want;
  } rows[] = {
      {"equal_arrays", "a2 81 fa 4f 32 d0 5e 00 81 1a b2 d0 5e 00 00", DUPLICATE},
      {"after_the_float", "a2 82 fa 4f 32 d0 5e 61 61 00 82 1a b2 d0 5e 00 61 62 00", "ok"},
      {"after_the_float_descending", "a2 82 fa 4f 32 d0 5e 61 62 00 82 1a b2 d0 5e 00 61 61 00", KEY_ORDER},
      {"float_head_in_bytes", "a2 82 45 fa 4f 32 d0 5e fa 4f 32 d0 5e 00 82 45 fa 4f 32 d0 5e 1a b2 d0 5e 00 00",
       DUPLICATE},
      {"repeat_of_earlier_reduced_key", "a3 81 fb 43 e0 00 00 00 00 00 01 00 82 00 00 00 81 1b 80 00 00 00 00 00 08 00 00",
       DUPLICATE},
      {"double_inside_map_key", "a2 a1 00 fb 43 e0 00 00 00 00 00 01 00 a1 00 1b 80 00 00 00 00 00 08 00 00", DUPLICATE},
      {"negative_float", "a2 81 fa cf 32 d0 5e 00 81 3a b2 d0 5d ff 00", DUPLICATE},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(decode_outcome(r.hex), r.want);
    EXPECT_EQ(validate_outcome(r.hex), r.want);
  }
}

TEST(DecodeValues, KindsAndContent) {
  auto v = decode_dcbor(from_hex("88 18 18 38 63 43 01 02 03 62 c3 a9 c1 00 f5 f9 3e 00 fa 4f 32 d0 5e"));
  ASSERT_TRUE(v.has_value());
  const std::vector<CborValue>& items = *v->as_array();
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[0].as_unsigned(), 24u);
  EXPECT_EQ(items[1].as_negative(), 99u);
  EXPECT_EQ(*items[2].as_bytes(), (ByteString{1, 2, 3}));
  EXPECT_EQ(*items[3].as_text(), "\xc3\xa9");
  EXPECT_EQ(items[4].tag(), 1u);
  EXPECT_EQ(items[4].tagged_item()->as_unsigned(), 0u);
  EXPECT_EQ(items[5].simple(), CborValue::Simple::True);
  EXPECT_EQ(items[6].as_float(), 1.5);
  EXPECT_EQ(items[7].as_unsigned(), 3000000000u);
  EXPECT_FALSE(items[7].as_float().has_value());
}

ByteString nested(std::size_t levels, std::uint8_t container, ByteString inner) {
  ByteString out;
  for (std::size_t i = 0; i < levels; ++i) {
    out.push_back(container);
    if (container == 0xa1) out.push_back(0x00);  // a key before each nested map value
  }
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

TEST(DecodeNesting, AcceptsTheBoundAndRefusesOneMore) {
  for (std::uint8_t container : {std::uint8_t{0x81}, std::uint8_t{0xa1}, std::uint8_t{0xc1}}) {
    SCOPED_TRACE(static_cast<int>(container));
    const ByteString at_bound = nested(MAX_NESTING_DEPTH, container, {0x00});
    auto v = decode_dcbor(at_bound);
    ASSERT_TRUE(v.has_value()) << message(v.error());
    EXPECT_EQ(encode_dcbor(*v), at_bound);

    // An empty container is a level too.
    const ByteString empty_at_bound = nested(MAX_NESTING_DEPTH - 1, container, {0x80});
    EXPECT_TRUE(decode_dcbor(empty_at_bound).has_value());

    auto over = decode_dcbor(nested(MAX_NESTING_DEPTH + 1, container, {0x00}));
    ASSERT_FALSE(over.has_value());
    EXPECT_EQ(over.error().kind, CborErrorKind::NestingTooDeep);
    EXPECT_EQ(message(over.error()), TOO_DEEP);
    EXPECT_EQ(decode_outcome(to_hex(nested(MAX_NESTING_DEPTH, container, {0x80}))), TOO_DEEP);
  }
}

TEST(DecodeNesting, OneMebibyteOfArrayHeadsFailsCleanly) {
  const auto start = std::chrono::steady_clock::now();
  for (std::uint8_t head : {std::uint8_t{0x81}, std::uint8_t{0x9f}, std::uint8_t{0xc0}, std::uint8_t{0xd8}}) {
    SCOPED_TRACE(static_cast<int>(head));
    const ByteString input(1 << 20, head);
    auto v = decode_dcbor(input);
    ASSERT_FALSE(v.has_value());
    // 9f is refused at once; d8 d8 is tag 216 of tag 216 ..., each tag a level.
    EXPECT_EQ(message(v.error()), head == 0x9f ? RESERVED : TOO_DEEP);
  }
  // Mixed containers count alike: array, map value, tag.
  ByteString mixed;
  while (mixed.size() < (1u << 20)) mixed.insert(mixed.end(), {0x81, 0xa1, 0x00, 0xc6});
  auto v = decode_dcbor(mixed);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(message(v.error()), TOO_DEEP);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(DecodeNesting, ManyShallowItemsAreNotDepth) {
  // A million siblings is breadth, not depth: it decodes.
  ByteString input{0x9a, 0x00, 0x0f, 0x42, 0x40};
  input.insert(input.end(), 1000000, 0x80);
  auto v = decode_dcbor(input);
  ASSERT_TRUE(v.has_value()) << message(v.error());
  EXPECT_EQ(v->as_array()->size(), 1000000u);
}

}  // namespace
}  // namespace halyx::dcbor
