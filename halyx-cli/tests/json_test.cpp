// JSON strings stay valid JSON whatever bytes they are given. Leaf texts reach the writer already
// checked as UTF-8, so the ill-formed rows can only be reached from here.
#include "json.hpp"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace halyx::cli
