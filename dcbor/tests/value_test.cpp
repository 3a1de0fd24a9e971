// value_test.cpp: sharing, lookups, and trees too deep for recursion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include "test_util.hpp"

namespace halyx::dcbor {
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

TEST(CborErrorText, KindsWithoutADecodeExample) {
  EXPECT_EQ(message(CborError::trailing_bytes(18446744073709551615u)),
            "the decoded CBOR had 18446744073709551615 extra bytes at the end");
  EXPECT_EQ(message(CborError::bad_utf8(Utf8Fault{12, 3})),
            "invalid UTF\xE2\x80\x91" "8 string: invalid utf-8 sequence of 3 bytes from index 12");
}

}  // namespace
}  // namespace halyx::dcbor
