// JSON strings stay valid JSON whatever bytes they are given. Leaf texts reach the writer already
// checked as UTF-8, so the ill-formed rows can only be reached from here.
#include "json.hpp"

#include <gtest/gtest.h>

#include <string>

#include <halyx/serialization/mtac_leaf.hpp>
#include "inspect.hpp"

namespace halyx::cli {
namespace {

std::string as_literal(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonString, EscapesAndReplaces) {
  struct Row {
    const char* name;
    std::string input, want;
  };
  const std::string replacement = "\xEF\xBF\xBD";
  const Row rows[] = {
      {"quote_and_backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short_escapes", "\n\r\t", R"("\n\r\t")"},
      {"other_controls", std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"non_breaking_hyphen_kept", "UTF\u2011" "8", "\"UTF\u2011" "8\""},
      {"four_byte_kept", "\U0001F600", "\"\U0001F600\""},
      {"stray_continuation", "a\x80z", "\"a" + replacement + "z\""},
      {"overlong_slash", "\xC0\xAF", "\"" + replacement + replacement + "\""},
      {"surrogate", "\xED\xA0\x80", "\"" + replacement + replacement + replacement + "\""},
      {"past_u10ffff", "\xF4\x90\x80\x80", "\"" + replacement + replacement + replacement + replacement + "\""},
      // A sequence cut short must not swallow the quote that closes the string.
      {"cut_at_end", "\xE2\x80", "\"" + replacement + replacement + "\""},
      {"cut_before_ascii", "\xE2\x80\"", "\"" + replacement + replacement + "\\\"\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(as_literal(row.input), row.want);
  }
}

TEST(JsonWriter, WritesMembersInOrderWithFullIntegers) {
  std::string inner;
  JsonWriter(inner).text("k", "v").close();
  std::string out;
  JsonWriter(out)
      .number("max", 18446744073709551615u)
      .boolean("t", true)
      .json("list", "[1, " + inner + "]")
      .hex("hex", ByteString{0x00, 0xab})
      .close();
  EXPECT_EQ(out, R"({"max": 18446744073709551615, "t": true, "list": [1, {"k": "v"}], "hex": "00ab"})");
  std::string empty;
  JsonWriter(empty).close();
  EXPECT_EQ(empty, "{}");
}

// The segment's lines are written from records read in place; they must be the very text the
// writer gives the decoded leaf, escapes, empty lists and the widest integers included.
TEST(LeafObject, WrittenInPlaceAsTheWriterWritesTheLeaf) {
  const leaf::MtacLeaf leaves[] = {
      {1, "agent-batch-0000001", "sponsor-bench", {"read", "write"}, 1700000001, 1900000001},
      {1, "", "", {}, 0, 18446744073709551615u},
      {1, "quote\"back\\slash", std::string("tab\tnl\ncr\r\x01\x1f\x7f", 12), {"", "\"", "a b"}, 23, 24},
      {1, std::string(300, 'x'), "s", {"one"}, 4294967296u, 65535},
      {1, "a", "b", {"", "x", "yz"}, 5, 6},
  };
  for (const leaf::MtacLeaf& leaf : leaves) {
    const ByteString record = leaf::serialize_canonical(leaf);
    const auto view = leaf::read_canonical_leaf(record);
    ASSERT_TRUE(view.has_value()) << leaf.agent_id;
    std::string want;
    JsonWriter writer(want);
    add_leaf_fields(writer, leaf);
    writer.close();
    std::string got;
    append_leaf_object(got, *view);
    EXPECT_EQ(got, want);
  }
}

}  // namespace
}  // namespace halyx::cli
