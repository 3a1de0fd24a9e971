// Manifest lines: JSON strings with escapes (paths and ids reach files and output through them),
// numbers in JSON's grammar, and hex in either case.
#include "manifest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace halyx::cli {
namespace {

TEST(ManifestLine, ReadsStringsThroughTheirEscapes) {
  // The escaped quote must not end the string: the key after it would be lost.
  auto entry = parse_manifest_line(R"( {"leaf": "a\"b", "proof_hex": "00", "id": -1.5E+3} )");
  ASSERT_TRUE(entry.has_value()) << entry.error();
  EXPECT_EQ(entry->leaf.text.raw, R"(a\"b)");
  EXPECT_TRUE(entry->leaf.text.escaped && !entry->leaf.is_hex && entry->proof.is_hex);
  EXPECT_EQ(entry->id, "-1.5E+3");
  for (const char* bad : {R"({"id": 01, "leaf_hex": "", "proof_hex": ""})", R"({"id": 1., "leaf_hex": "", "proof_hex": ""})",
                          R"({"id": -, "leaf_hex": "", "proof_hex": ""})", R"({"leaf_hex": "", "proof_hex": "\"})"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_manifest_line(bad).has_value());
  }
}

TEST(Unescape, AppliesJsonEscapes) {
  struct Row {
    const char* name;
    std::string raw, want;
  };
  const Row rows[] = {
      {"short_escapes", R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
      {"u_escape", R"(\u00e9\u20AC)", "\u00e9\u20ac"},
      {"surrogate_pair", R"(\ud83d\ude00)", "\U0001F600"},
      {"lone_high_surrogate", R"(\ud83dx)", "\xEF\xBF\xBDx"},
      {"lone_low_surrogate", R"(\ude00)", "\xEF\xBF\xBD"},
  };
  std::string out;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(unescape({row.raw, true}, out).has_value());
    EXPECT_EQ(out, row.want);
  }
  for (const char* bad : {R"(\x)", R"(\u12)", R"(\u12g4)", "tab\there"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(unescape({bad, true}, out).has_value());
  }
}

TEST(DecodeHex, TakesEitherCaseAndRefusesTheRest) {
  ByteString out;
  ASSERT_TRUE(decode_hex("00ff7Fa0", out).has_value());
  EXPECT_EQ(out, (ByteString{0x00, 0xff, 0x7f, 0xa0}));
  for (const char* bad : {"0", "0g", "`0", "0:", " 0"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(decode_hex(bad, out).has_value());
  }
}

}  // namespace
}  // namespace halyx::cli
