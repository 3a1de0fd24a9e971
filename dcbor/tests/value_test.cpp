// value_test.cpp: sharing, taking content out, lookups, and trees too deep for recursion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dcbor.hpp"
#include "test_util.hpp"

namespace dcbor {
namespace {

using test::from_hex;
using test::utf8;

const std::string LONG_TEXT(64, 'x');  // beyond any small-string buffer, so moves keep the pointer

TEST(ValueSharing, CopiesShareOneNode) {
  const CborValue a = CborValue::text(LONG_TEXT);
  EXPECT_EQ(a.use_count(), 1u);
  {
    const CborValue b = a;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(a.use_count(), 2u);
    EXPECT_EQ(a.as_text(), b.as_text());  // the same string object, not a copy
  }
  EXPECT_EQ(a.use_count(), 1u);
  CborValue c = CborValue::null();
  c = a;
  c = c;  // self-assignment keeps the node
  EXPECT_EQ(a.use_count(), 2u);
  c = CborValue::null();
  EXPECT_EQ(a.use_count(), 1u);
}

TEST(ValueSharing, TakeMovesFromASoleHandle) {
  CborValue v = CborValue::text(LONG_TEXT);
  const char* storage = v.as_text()->data();
  const std::optional<std::string> taken = std::move(v).take_text();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->data(), storage);
  EXPECT_EQ(v.use_count(), 0u);  // NOLINT(bugprone-use-after-move): the handle is emptied
}

TEST(ValueSharing, TakeClonesWhenShared) {
  CborValue v = CborValue::text(LONG_TEXT);
  const CborValue other = v;
  const std::optional<std::string> taken = std::move(v).take_text();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(*taken, LONG_TEXT);
  EXPECT_NE(taken->data(), other.as_text()->data());
  EXPECT_EQ(*other.as_text(), LONG_TEXT);  // the other handle still sees its value
  EXPECT_EQ(other.use_count(), 1u);
}

TEST(ValueSharing, TakenArrayCloneSharesTheElements) {
  const CborValue element = CborValue::text(LONG_TEXT);
  CborValue array = CborValue::array({element, element});
  EXPECT_EQ(element.use_count(), 3u);
  const CborValue keep = array;
  auto items = std::move(array).take_array();
  ASSERT_TRUE(items.has_value());
  EXPECT_EQ(items->size(), 2u);
  EXPECT_EQ(element.use_count(), 5u);  // two more, shared rather than deep-copied
}

TEST(ValueSharing, TakeOfAnotherKindGivesNothing) {
  CborValue v = CborValue::unsigned_int(7);
  EXPECT_FALSE(std::move(v).take_text().has_value());
  CborValue m = CborValue::map(CborMap{});
  EXPECT_FALSE(std::move(m).take_bytes().has_value());
  CborValue t = CborValue::text("t");
  EXPECT_FALSE(std::move(t).take_map().has_value());
}

TEST(ValueSharing, SharedSubtreeOutlivesOneParent) {
  CborValue child = CborValue::text(LONG_TEXT);
  CborValue parent = CborValue::tagged(1, child);
  {
    const CborValue other_parent = CborValue::array({child});
    EXPECT_EQ(child.use_count(), 3u);
  }
  EXPECT_EQ(child.use_count(), 2u);
  child = CborValue::null();
  EXPECT_EQ(*parent.tagged_item()->as_text(), LONG_TEXT);
}

// Values built in code have no depth bound: encoding and freeing them must not recurse.
TEST(DeepValues, MillionLevelsEncodeAndFreeWithoutRecursion) {
  constexpr int LEVELS = 1000000;
  CborValue v = CborValue::unsigned_int(0);
  for (int i = 0; i < LEVELS; ++i) {
    if (i % 3 == 0) {
      v = CborValue::array({std::move(v)});
    } else if (i % 3 == 1) {
      CborMap m;
      m.insert("k", std::move(v));
      v = CborValue::map(std::move(m));
    } else {
      v = CborValue::tagged(7, std::move(v));
    }
  }
  const ByteString encoded = encode_dcbor(v);
  EXPECT_GT(encoded.size(), static_cast<std::size_t>(LEVELS));
  // The decoder refuses what the bound forbids instead of following it down.
  auto decoded = decode_dcbor(encoded);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind, CborErrorKind::NestingTooDeep);
  v = CborValue::null();  // frees the million nodes
}

CborMap sample_map() {
  auto v = decode_dcbor(from_hex(
      "a8"
      "41 6e 00"                   // h'6e' (bytes "n"): 0
      "61 6e 29"                   // "n": -10
      "61 73 61 73"                // "s": "s"
      "62 6c 31 82 61 61 61 62"    // "l1": ["a", "b"]
      "62 6c 32 82 61 61 01"       // "l2": ["a", 1]
      "62 6e 32 1b ff ff ff ff ff ff ff ff"  // "n2": 2^64 - 1
      "62 6e 33 3b ff ff ff ff ff ff ff ff"  // "n3": -2^64
      "62 73 32 41 73"));          // "s2": h'73'
  EXPECT_TRUE(v.has_value()) << message(v.error());
  return *std::move(*v).take_map();
}

TEST(Lookups, IntegersTextsAndLists) {
  const CborMap m = sample_map();
  EXPECT_EQ(lookup_integer(m, "n"), std::uint64_t{0xfffffffffffffff6});  // -10
  EXPECT_EQ(lookup_integer(m, "n2"), std::uint64_t{0xffffffffffffffff});
  EXPECT_EQ(lookup_integer(m, "n3"), std::uint64_t{0});  // -2^64 wraps to 0
  EXPECT_EQ(lookup_integer(m, "s"), std::nullopt);
  EXPECT_EQ(lookup_integer(m, "absent"), std::nullopt);
  EXPECT_EQ(lookup_text(m, "s"), "s");
  EXPECT_EQ(lookup_text(m, "s2"), std::nullopt);  // bytes are not text
  EXPECT_EQ(lookup_text(m, "n"), std::nullopt);
  EXPECT_EQ(lookup_text_list(m, "l1"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(lookup_text_list(m, "l2"), std::nullopt);  // one element is not text
  EXPECT_EQ(lookup_text_list(m, "s"), std::nullopt);
  EXPECT_EQ(lookup_text_list(m, "S"), std::nullopt);  // keys are exact, case included
}

TEST(Lookups, ProbesMatchByCanonicalEncoding) {
  CborMap m;
  m.insert(CborValue::bytes({'k'}), CborValue::unsigned_int(1));
  EXPECT_EQ(m.find("k"), nullptr);  // a text probe never finds a bytes key
  EXPECT_NE(m.find(CborValue::bytes({'k'})), nullptr);
  m.insert(utf8({0xE9}), CborValue::unsigned_int(2));
  // A probe in another normalisation form of the same text finds it.
  ASSERT_NE(m.find(utf8({'e', 0x0301})), nullptr);
  EXPECT_EQ(m.find(utf8({'e', 0x0301}))->as_unsigned(), 2u);
  m.insert(CborValue::number(1.0), CborValue::unsigned_int(3));  // the key is the integer 1
  EXPECT_NE(m.find(CborValue::unsigned_int(1)), nullptr);
  EXPECT_EQ(m.find(""), nullptr);
  EXPECT_EQ(CborMap{}.find("k"), nullptr);
}

TEST(Lookups, EmptyListIsPresent) {
  CborMap m;
  m.insert("scopes", CborValue::text_list({}));
  m.insert("two", CborValue::text_list({"x", "x"}));
  EXPECT_EQ(lookup_text_list(m, "scopes"), std::vector<std::string>{});
  EXPECT_EQ(lookup_text_list(m, "two"), (std::vector<std::string>{"x", "x"}));
}

TEST(CborErrorText, KindsWithoutADecodeExample) {
  EXPECT_EQ(message(CborError::of(CborErrorKind::MissingKey)), "missing CBOR map key");
  EXPECT_EQ(message(CborError::trailing_bytes(18446744073709551615u)),
            "the decoded CBOR had 18446744073709551615 extra bytes at the end");
  EXPECT_EQ(message(CborError::bad_utf8(Utf8Fault{12, 3})),
            "invalid UTF\xE2\x80\x91" "8 string: invalid utf-8 sequence of 3 bytes from index 12");
}

}  // namespace
}  // namespace dcbor
