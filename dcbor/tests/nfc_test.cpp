// nfc_test.cpp: the normaliser and the NFC check against Unicode 16.0's own test suite.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <halyx/dcbor/nfc.hpp>
#include "test_util.hpp"

namespace halyx::dcbor {
namespace {

using test::utf8;

struct NormalizationLine {
  int line_number;
  std::array<std::string, 5> columns;  // source, NFC, NFD, NFKC, NFKD
};

std::string parse_code_points(std::string_view field) {
  std::string out;
  std::size_t i = 0;
  while (i < field.size()) {
    while (i < field.size() && field[i] == ' ') ++i;
    std::size_t j = i;
    while (j < field.size() && field[j] != ' ') ++j;
    if (j > i) test::append_utf8(out, static_cast<char32_t>(std::stoul(std::string(field.substr(i, j - i)), nullptr, 16)));
    i = j;
  }
  return out;
}

// Reads NormalizationTest.txt; `part1` receives the code points Part 1 lists one by one.
std::vector<NormalizationLine> load_normalization_test(std::vector<bool>& part1) {
  const std::string text = test::read_data_file("NormalizationTest.txt");
  std::vector<NormalizationLine> lines;
  part1.assign(0x110000, false);
  bool in_part1 = false;
  int number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '@') {
      in_part1 = line.starts_with("@Part1");
      continue;
    }
    NormalizationLine parsed{number, {}};
    std::size_t field_start = 0;
    for (std::string& column : parsed.columns) {
      const std::size_t semi = line.find(';', field_start);
      column = parse_code_points(line.substr(field_start, semi - field_start));
      field_start = semi + 1;
    }
    if (in_part1) part1[std::stoul(std::string(line.substr(0, line.find_first_of(" ;"))), nullptr, 16)] = true;
    lines.push_back(std::move(parsed));
  }
  return lines;
}

TEST(NormalizationConformance, EveryLineOfUnicode16TestSuite) {
  std::vector<bool> part1;
  const std::vector<NormalizationLine> lines = load_normalization_test(part1);
  ASSERT_GT(lines.size(), 19000u) << "NormalizationTest.txt missing or cut short";

  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  const auto report = [&failures](int line_number, const std::string& what) {
    if (++failures <= 20) ADD_FAILURE() << "NormalizationTest.txt line " << line_number << ": " << what;
  };
  for (const NormalizationLine& l : lines) {
    std::array<std::string, 5> nfc;
    for (std::size_t i = 0; i < 5; ++i) nfc[i] = to_nfc(l.columns[i]);
    // c2 == NFC(c1) == NFC(c2) == NFC(c3) and c4 == NFC(c4) == NFC(c5)
    for (std::size_t i : {0u, 1u, 2u}) {
      if (nfc[i] != l.columns[1]) report(l.line_number, "NFC(c" + std::to_string(i + 1) + ") != c2");
    }
    for (std::size_t i : {3u, 4u}) {
      if (nfc[i] != l.columns[3]) report(l.line_number, "NFC(c" + std::to_string(i + 1) + ") != c4");
    }
    // The check must accept exactly the strings that are their own normalisation.
    for (std::size_t i = 0; i < 5; ++i) {
      if (is_nfc(l.columns[i]) != (nfc[i] == l.columns[i])) {
        report(l.line_number, "is_nfc(c" + std::to_string(i + 1) + ") disagrees with NFC");
      }
    }
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::cout << "[          ] " << lines.size() << " lines, 5 columns each, in " << elapsed.count() << " ms\n";
  EXPECT_EQ(failures, 0);
}

// Every code point the suite does not list individually must be stable under NFC.
TEST(NormalizationConformance, CodePointsOutsidePartOneAreStable) {
  std::vector<bool> part1;
  load_normalization_test(part1);
  int failures = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if ((cp >= 0xd800 && cp <= 0xdfff) || part1[cp]) continue;
    const std::string s = utf8({cp});
    if ((to_nfc(s) != s || !is_nfc(s)) && ++failures <= 20) ADD_FAILURE() << "U+" << std::hex << unsigned(cp);
  }
  EXPECT_EQ(failures, 0);
}

struct NfcCase {
  const char* name;
  std::string input;
  std::string nfc;
};

// Characters first assigned in Unicode 16.0 (per DerivedAge.txt): data from an older
// version gives them class 0 and no compositions, and would answer these wrongly.
TEST(NfcCheck, KnowsCharactersNewInUnicode16) {
  const NfcCase cases[] = {
      // U+0897 ARABIC PEPET (230) and U+1E5EF OL ONAL SIGN IKIR (220) must be reordered.
      {"pepet_before_ikir", utf8({'a', 0x0897, 0x1E5EF}), utf8({'a', 0x1E5EF, 0x0897})},
      {"ikir_before_pepet", utf8({'a', 0x1E5EF, 0x0897}), utf8({'a', 0x1E5EF, 0x0897})},
      // Garay U+10D69 (230) after U+0316 (220) is in order; before it, not.
      {"garay_after_below", utf8({'b', 0x0316, 0x10D69}), utf8({'b', 0x0316, 0x10D69})},
      {"garay_before_below", utf8({'b', 0x10D69, 0x0316}), utf8({'b', 0x0316, 0x10D69})},
      // Tulu-Tigalari: II = I + AU LENGTH MARK; AI sign = EE + EE, and AI is itself a second.
      {"tulu_ii", utf8({0x11382, 0x113C9}), utf8({0x11383})},
      {"tulu_ee_ee", utf8({0x113C2, 0x113C2}), utf8({0x113C5})},
      {"tulu_ai_sign_alone", utf8({0x113C5}), utf8({0x113C5})},
      // Tulu-Tigalari virama U+113CE has class 9: before an acute (230) it is in order.
      {"tulu_virama_then_acute", utf8({0x11380, 0x113CE, 0x0301}), utf8({0x11380, 0x113CE, 0x0301})},
      {"acute_then_tulu_virama", utf8({0x11380, 0x0301, 0x113CE}), utf8({0x11380, 0x113CE, 0x0301})},
      // Kirat Rai compositions chain: E + E = AI; O + E = AU where O = (U+16D63) + E.
      {"kirat_e_e", utf8({0x16D67, 0x16D67}), utf8({0x16D68})},
      {"kirat_chain", utf8({0x16D63, 0x16D67, 0x16D67}), utf8({0x16D6A})},
      {"kirat_au", utf8({0x16D6A}), utf8({0x16D6A})},
      // Gurung Khema vowel signs compose pairwise and chain.
      {"gurung_u", utf8({0x1611E, 0x1611E}), utf8({0x16121})},
      {"gurung_o_chain", utf8({0x1611E, 0x1611E, 0x1611F}), utf8({0x16126})},
      // Todhri EI = U+105D2 + COMBINING DOT ABOVE.
      {"todhri_ei", utf8({0x105D2, 0x0307}), utf8({0x105C9})},
      {"todhri_ei_precomposed", utf8({0x105C9}), utf8({0x105C9})},
  };
  for (const NfcCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_nfc(c.input), c.nfc);
    EXPECT_EQ(is_nfc(c.input), c.input == c.nfc);
    EXPECT_TRUE(is_nfc(c.nfc));
  }
}

TEST(NfcCheck, CommonScriptsAndHangul) {
  const NfcCase cases[] = {
      {"ascii", "agent-7/scope:read", "agent-7/scope:read"},
      {"precomposed_e_acute", utf8({0xE9}), utf8({0xE9})},
      {"e_plus_acute", utf8({'e', 0x0301}), utf8({0xE9})},
      {"two_marks_out_of_order", utf8({'a', 0x0301, 0x0323}), utf8({0x1EA1, 0x0301})},
      {"blocked_by_same_class", utf8({'a', 0x0301, 0x0301}), utf8({0xE1, 0x0301})},
      {"singleton_angstrom", utf8({0x212B}), utf8({0xC5})},
      {"excluded_composite", utf8({0x0958}), utf8({0x0915, 0x093C})},
      {"hangul_syllables", utf8({0xD55C, 0xAD6D, 0xC5B4}), utf8({0xD55C, 0xAD6D, 0xC5B4})},
      {"hangul_l_v", utf8({0x1112, 0x1161}), utf8({0xD558})},
      {"hangul_l_v_t", utf8({0x1112, 0x1161, 0x11AB}), utf8({0xD55C})},
      {"hangul_lv_t", utf8({0xD558, 0x11AB}), utf8({0xD55C})},
      {"leading_non_starter", utf8({0x0301, 'e'}), utf8({0x0301, 'e'})},
      {"cjk_compatibility", utf8({0xF900}), utf8({0x8C48})},
      {"astral_ascii_mix", utf8({'x', 0x1F600, 'y'}), utf8({'x', 0x1F600, 'y'})},
      {"long_ascii_prefix_kept", std::string(40, 'k') + utf8({'o', 0x0308}), std::string(40, 'k') + utf8({0xF6})},
  };
  for (const NfcCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_nfc(c.input), c.nfc);
    EXPECT_EQ(is_nfc(c.input), c.input == c.nfc);
  }
}

TEST(NfcCheck, QuickCheckAnswers) {
  EXPECT_EQ(nfc_quick_check(""), NfcQuickCheck::Yes);
  EXPECT_EQ(nfc_quick_check("plain ascii"), NfcQuickCheck::Yes);
  EXPECT_EQ(nfc_quick_check(utf8({0xE9})), NfcQuickCheck::Yes);
  EXPECT_EQ(nfc_quick_check(utf8({'e', 0x0301})), NfcQuickCheck::Maybe);  // U+0301 may combine back
  EXPECT_EQ(nfc_quick_check(utf8({0x212B})), NfcQuickCheck::No);          // a singleton never survives
  EXPECT_EQ(nfc_quick_check(utf8({'a', 0x0301, 0x0323})), NfcQuickCheck::No);  // 230 then 220
  // Maybe that normalises to itself: the check must fall back to the full comparison.
  EXPECT_EQ(nfc_quick_check(utf8({'a', 0x0301})), NfcQuickCheck::Maybe);
  EXPECT_FALSE(is_nfc(utf8({'a', 0x0301})));
  EXPECT_EQ(nfc_quick_check(utf8({0x1D16, 0x0301})), NfcQuickCheck::Maybe);
  EXPECT_TRUE(is_nfc(utf8({0x1D16, 0x0301})));  // no composite exists
}

// The check of a Maybe text compares on the fly instead of normalising; it must answer exactly as
// normalising and comparing would. Random short strings over every code point the test suite uses
// (marks of every class, composites, jamo, the characters new in 16.0) reach the orderings and
// compositions that a hand-made list would miss.
TEST(NfcCheck, AnswersAsNormalisingWould) {
  std::vector<bool> part1;
  std::vector<char32_t> pool, maybe_pool;
  std::vector<bool> seen(0x110000, false);
  const std::vector<NormalizationLine> lines = load_normalization_test(part1);
  for (const NormalizationLine& l : lines) {
    for (const std::string& column : l.columns) {
      for (std::size_t i = 0; i < column.size();) {  // well-formed UTF-8, written by the loader
        const auto b = static_cast<unsigned char>(column[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
        char32_t cp = n == 1 ? b : b & (0xff >> (n + 1));
        for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(column[i + k]) & 0x3f);
        i += n;
        // A code point the quick check refuses on its own would only make the string a No.
        if (!seen[cp] && nfc_quick_check(utf8({cp})) != NfcQuickCheck::No) pool.push_back(cp);
        if (!seen[cp] && nfc_quick_check(utf8({cp})) == NfcQuickCheck::Maybe) maybe_pool.push_back(cp);
        seen[cp] = true;
      }
    }
  }
  std::mt19937 random(20261208);
  std::size_t answers[2] = {0, 0};  // how many Maybe strings were not NFC, and were
  for (int i = 0; i < 200000; ++i) {
    // Pieces of the suite's own strings (decomposed forms compose again) and single code points.
    std::string s;
    const int length = 1 + static_cast<int>(random() % 5);
    for (int k = 0; k < length; ++k) {
      switch (random() % 3) {
        case 0:
          s += lines[random() % lines.size()].columns[random() % 3];
          break;
        case 1:
          test::append_utf8(s, pool[random() % pool.size()]);
          break;
        default:
          test::append_utf8(s, maybe_pool[random() % maybe_pool.size()]);
          break;
      }
    }
    if (nfc_quick_check(s) != NfcQuickCheck::Maybe) continue;
    const bool normalised_equal = to_nfc(s) == s;
    ++answers[normalised_equal ? 1 : 0];
    ASSERT_EQ(is_nfc(s), normalised_equal) << test::to_hex(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
  }
  // Both answers must have come up often, or the comparison above proved little.
  EXPECT_GT(answers[0], 5000u);
  EXPECT_GT(answers[1], 5000u);

  // Long texts, where a composition can depend on a mark any distance away.
  std::string run;
  for (int k = 0; k < 50000; ++k) run += utf8({0x0316});  // class 220, no composition with e
  EXPECT_TRUE(is_nfc("x" + run + utf8({0x0301})));
  EXPECT_FALSE(is_nfc("e" + run + utf8({0x0301})));  // 0301 is not blocked by the 220s: e-acute
  EXPECT_TRUE(is_nfc(utf8({0xE9}) + run));             // e-acute decomposes and composes back
  EXPECT_TRUE(is_nfc(run));                           // no starter at all
}

// The normaliser never emits ill-formed UTF-8: each maximal ill-formed subsequence of its
// input becomes one U+FFFD.
TEST(NfcNormaliser, ReplacesIllFormedInput) {
  const std::string fffd = utf8({0xFFFD});
  const NfcCase cases[] = {
      {"lone_ff", "a\xff" "b", "a" + fffd + "b"},
      {"truncated_at_end", "a\xe2\x82", "a" + fffd},
      {"three_byte_prefix_of_four", "\xf0\x90\x80" "A", fffd + "A"},
      {"surrogate_is_three_units", "\xed\xa0\x80", fffd + fffd + fffd},
      {"real_fffd_kept", fffd, fffd},
      {"combining_after_garbage", "e\xff\xcc\x81", "e" + fffd + utf8({0x0301})},
  };
  for (const NfcCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_nfc(c.input), c.nfc);
  }
}

// Long runs of combining marks reorder stably by class, and in O(n log n): the input is
// built with every class out of order.
TEST(NfcNormaliser, LongRunsOfMarksReorderStably) {
  for (std::size_t repeats : {std::size_t{11}, std::size_t{40}, std::size_t{50000}}) {
    SCOPED_TRACE(repeats);
    std::string input = "x", want = "x";
    for (std::size_t i = 0; i < repeats; ++i) input += utf8({0x0301, 0x0323, 0x0334});  // 230, 220, 1
    for (char32_t mark : {0x0334, 0x0323, 0x0301}) {
      for (std::size_t i = 0; i < repeats; ++i) want += utf8({mark});
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(to_nfc(input), want);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
}

}  // namespace
}  // namespace halyx::dcbor
