// encode_test.cpp: the canonical encoder, and round-trip properties over generated data.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include <halyx/dcbor/numeric.hpp>
#include "test_util.hpp"

namespace halyx::dcbor {
namespace {

using test::from_hex;
using test::to_hex;
using test::utf8;

std::string hex_of(const CborValue& v) { return to_hex(encode_dcbor(v)); }

TEST(EncodeHeads, ShortestFormAtEveryBoundary) {
  const struct {
    std::uint64_t n;
    const char* unsigned_hex;
    const char* negative_hex;
  } cases[] = {
      {0, "00", "20"},
      {23, "17", "37"},
      {24, "1818", "3818"},
      {255, "18ff", "38ff"},
      {256, "190100", "390100"},
      {65535, "19ffff", "39ffff"},
      {65536, "1a00010000", "3a00010000"},
      {4294967295u, "1affffffff", "3affffffff"},
      {4294967296u, "1b0000000100000000", "3b0000000100000000"},
      {std::numeric_limits<std::uint64_t>::max(), "1bffffffffffffffff", "3bffffffffffffffff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(hex_of(CborValue::unsigned_int(c.n)), c.unsigned_hex);
    EXPECT_EQ(hex_of(CborValue::negative_int(c.n)), c.negative_hex);
  }
  EXPECT_EQ(hex_of(CborValue::bytes(ByteString(24, 0xab))).substr(0, 4), "5818");
  EXPECT_EQ(hex_of(CborValue::tagged(65536, CborValue::null())), "da00010000f6");
}

// The float branch: NaN, then the narrowest exact width, with integral values written as
// integers within each width's range.
TEST(EncodeNumbers, CanonicalFormOfEveryRange) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    double v;
    const char* hex;
  } cases[] = {
      {"zero", 0.0, "00"},
      {"negative_zero", -0.0, "00"},
      {"one", 1.0, "01"},
      {"minus_one", -1.0, "20"},
      {"half_max", 65504.0, "19ffe0"},
      {"one_and_a_half", 1.5, "f93e00"},
      {"half_smallest_subnormal", std::ldexp(1.0, -24), "f90001"},
      {"infinity", inf, "f97c00"},
      {"negative_infinity", -inf, "f9fc00"},
      {"nan", std::numeric_limits<double>::quiet_NaN(), "f97e00"},
      {"negative_nan", -std::numeric_limits<double>::quiet_NaN(), "f97e00"},
      {"nan_with_payload", std::bit_cast<double>(0x7ff0000000000001ull), "f97e00"},
      {"single_not_half", std::ldexp(1.0, -25), "fa33000000"},
      {"single_smallest_subnormal", std::ldexp(1.0, -149), "fa00000001"},
      {"single_max", static_cast<double>(std::numeric_limits<float>::max()), "fa7f7fffff"},
      {"single_integral_100000", 100000.0, "1a000186a0"},
      {"single_3000000000", 3000000000.0, "1ab2d05e00"},
      {"single_2p32_stays_float", 4294967296.0, "fa4f800000"},
      {"single_2p64_stays_float", 18446744073709551616.0, "fa5f800000"},
      {"single_minus_2p32", -4294967296.0, "3affffffff"},
      {"single_minus_2p64", -18446744073709551616.0, "3bffffffffffffffff"},
      {"single_minus_2p65_stays_float", -36893488147419103232.0, "fae0000000"},
      {"double_tenth", 0.1, "fb3fb999999999999a"},
      {"double_2p53_plus_2", 9007199254740994.0, "1b0020000000000002"},
      {"double_2p63_plus_2p11", 9223372036854777856.0, "1b8000000000000800"},
      {"double_minus_2p63_minus_2p11", -9223372036854777856.0, "3b80000000000007ff"},
      {"double_2p64_plus_2p12_stays_float", 18446744073709555712.0, "fb43f0000000000001"},
      {"double_1e300", 1e300, "fb7e37e43c8800759c"},
      {"double_smallest_subnormal", std::ldexp(1.0, -1074), "fb0000000000000001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CborValue v = CborValue::number(c.v);
    EXPECT_EQ(hex_of(v), c.hex);
    // Integral results are integers, not floats holding integral values.
    const bool integer = c.hex[0] == '0' || c.hex[0] == '1' || c.hex[0] == '2' || c.hex[0] == '3';
    EXPECT_EQ(v.kind() != CborValue::Kind::Simple, integer);
  }
}

TEST(EncodeText, NormalisesToNfc) {
  EXPECT_EQ(hex_of(CborValue::text(utf8({'e', 0x0301}))), "62c3a9");
  EXPECT_EQ(hex_of(CborValue::text(utf8({0x1112, 0x1161, 0x11AB}))), "63ed959c");
  // The head carries the normalised length.
  EXPECT_EQ(hex_of(CborValue::text(utf8({0x212B}))), "62c385");
  // Ill-formed UTF-8 cannot be written as text; it is replaced, never passed through.
  EXPECT_EQ(hex_of(CborValue::text("a\xff")), "6461efbfbd");
  // Held as given; only the encoding is normalised.
  EXPECT_EQ(*CborValue::text(utf8({'e', 0x0301})).as_text(), utf8({'e', 0x0301}));
}

TEST(EncodeMap, WritesEntriesInKeyEncodingOrder) {
  CborMap m;
  m.insert("sponsor_id", CborValue::unsigned_int(1));
  m.insert("agent_id", CborValue::unsigned_int(2));
  m.insert("authorized_scopes", CborValue::unsigned_int(3));
  const ByteString out = encode_dcbor(CborValue::map(m));
  ASSERT_EQ(out.size(), 1u + 9 + 1 + 11 + 1 + 18 + 1);
  EXPECT_EQ(out[0], 0xa3);
  EXPECT_EQ(out[1], 0x68);   // "agent_id"
  EXPECT_EQ(out[11], 0x6a);  // "sponsor_id"
  EXPECT_EQ(out[23], 0x71);  // "authorized_scopes"
}

TEST(EncodeMap, KeysOfEveryKindSortByEncoding) {
  CborMap m;
  m.insert(CborValue::array({}), CborValue::unsigned_int(5));
  m.insert(CborValue::text("a"), CborValue::unsigned_int(4));
  m.insert(CborValue::bytes({'a'}), CborValue::unsigned_int(3));
  m.insert(CborValue::negative_int(0), CborValue::unsigned_int(2));
  m.insert(CborValue::unsigned_int(100), CborValue::unsigned_int(1));
  m.insert(CborValue::unsigned_int(10), CborValue::unsigned_int(0));
  EXPECT_EQ(hex_of(CborValue::map(m)), "a60a0018640120024161036161048005");
}

TEST(EncodeMap, InsertReplacesEqualEncodings) {
  CborMap m;
  m.insert("k", CborValue::unsigned_int(1));
  m.insert("k", CborValue::unsigned_int(2));
  // Canonically equivalent texts encode alike, so they are one key.
  m.insert(utf8({0xE9}), CborValue::unsigned_int(3));
  m.insert(utf8({'e', 0x0301}), CborValue::unsigned_int(4));
  // Bytes with a text's content are another key.
  m.insert(CborValue::bytes({'k'}), CborValue::unsigned_int(5));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(hex_of(CborValue::map(m)), "a3416b05616b0262c3a904");
}

// --- Properties over generated data -------------------------------------------------

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }

  // Code points chosen to reach the interesting paths: ASCII, precomposed and combining
  // Latin, Hangul jamo and syllables, singletons, exclusions, astral and 16.0 characters.
  char32_t code_point() {
    static constexpr char32_t PALETTE[] = {
        'a', 'e', 'o', 'A', '0', ' ', 0xE9, 0xC5, 0x0301, 0x0308, 0x0323, 0x0316, 0x0345, 0x1100, 0x1161,
        0x11A8, 0xAC00, 0xD55C, 0x212B, 0x0958, 0x093C, 0x0915, 0x1E0A, 0x0F73, 0x1F600, 0x2FA1D, 0x0897,
        0x1E5EF, 0x113C2, 0x11382, 0x113C9, 0x16D67, 0x1611E, 0x105D2, 0x0307, 0xFFFD, 0x10FFFF};
    if (chance(85)) return PALETTE[below(std::size(PALETTE))];
    char32_t cp;
    do {
      cp = static_cast<char32_t>(below(0x110000));
    } while (cp >= 0xD800 && cp <= 0xDFFF);
    return cp;
  }

  std::string text() {
    std::string s;
    const std::uint64_t n = below(8);
    for (std::uint64_t i = 0; i < n; ++i) test::append_utf8(s, code_point());
    return s;
  }

  double number() {
    switch (below(6)) {
      case 0:
        return half_to_double(static_cast<std::uint16_t>(below(0x10000)));
      case 1:
        return std::bit_cast<float>(static_cast<std::uint32_t>(below(0x100000000ull)));
      case 2:
        return std::bit_cast<double>(rng_());
      case 3:  // integral values near the width and range boundaries
        return std::ldexp(chance(50) ? 1.0 : -1.0, static_cast<int>(below(70))) + static_cast<double>(below(5)) - 2;
      case 4:
        return static_cast<double>(static_cast<std::int64_t>(rng_())) / static_cast<double>(1 + below(1000));
      default:
        return std::ldexp(static_cast<double>(below(1 << 12)), static_cast<int>(below(80)) - 40);
    }
  }

  CborValue value(int depth) {
    const std::uint64_t k = below(depth > 0 ? 11 : 7);
    switch (k) {
      case 0:
        return CborValue::unsigned_int(integer());
      case 1:
        return CborValue::negative_int(integer());
      case 2: {
        ByteString b(below(6));
        for (auto& x : b) x = static_cast<std::uint8_t>(below(256));
        return CborValue::bytes(std::move(b));
      }
      case 3:
      case 4:
        return CborValue::text(text());
      case 5:
        return CborValue::number(number());
      case 6:
        return below(3) == 0 ? CborValue::null() : CborValue::boolean(chance(50));
      case 7:
      case 8: {
        std::vector<CborValue> items;
        const std::uint64_t n = below(5);
        for (std::uint64_t i = 0; i < n; ++i) items.push_back(value(depth - 1));
        return CborValue::array(std::move(items));
      }
      case 9: {
        CborMap m;
        const std::uint64_t n = below(5);
        for (std::uint64_t i = 0; i < n; ++i) {
          if (chance(60)) {
            const std::string key = text();
            m.insert(key, value(depth - 1));
          } else {
            CborValue key = value(depth - 1);
            m.insert(std::move(key), value(depth - 1));
          }
        }
        return CborValue::map(std::move(m));
      }
      default:
        return CborValue::tagged(integer(), value(depth - 1));
    }
  }

  std::uint64_t integer() {
    const int bits = static_cast<int>(below(65));
    return bits == 64 ? rng_() : rng_() & ((std::uint64_t{1} << bits) - 1);
  }

  // Raw input that is mostly, but not always, deterministic: heads that may be longer than
  // needed, floats of every width, text that may be ill-formed or not NFC, maps whose keys
  // may be out of order. `reducible` is set when a single or double that numeric reduction
  // turns into an integer is written, the one case where re-encoding may differ.
  void raw(ByteString& out, int depth, bool& reducible) {
    const std::uint64_t k = below(depth > 0 ? 9 : 6);
    switch (k) {
      case 0:
      case 1:
        raw_head(out, static_cast<std::uint8_t>(k), integer());
        return;
      case 2: {
        const std::string s = chance(90) ? text() : std::string(1, static_cast<char>(below(256)));
        const std::string t = chance(80) ? to_nfc(s) : s;
        raw_head(out, static_cast<std::uint8_t>(chance(10) ? 2 : 3), t.size());
        out.insert(out.end(), t.begin(), t.end());
        return;
      }
      case 3:
        raw_float(out, reducible);
        return;
      case 4:
        out.push_back(static_cast<std::uint8_t>(0xf4 + below(4)));  // f7 is refused
        return;
      case 5:
        out.push_back(static_cast<std::uint8_t>(below(256)));  // any single byte
        return;
      case 6: {
        const std::uint64_t n = below(4);
        raw_head(out, 4, n);
        for (std::uint64_t i = 0; i < n; ++i) raw(out, depth - 1, reducible);
        return;
      }
      case 7: {
        // Keys from a small set, so that order and duplicates are often right and sometimes not.
        const std::uint64_t n = below(4);
        raw_head(out, 5, n);
        std::uint64_t last = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
          last = chance(85) ? last + 1 + below(3) : below(6);
          raw_head(out, 0, last);
          raw(out, depth - 1, reducible);
        }
        return;
      }
      default:
        raw_head(out, 6, below(300));
        raw(out, depth - 1, reducible);
        return;
    }
  }

 private:
  void raw_head(ByteString& out, std::uint8_t major, std::uint64_t argument) {
    if (chance(95)) {
      append_head(out, major, argument);
      return;
    }
    out.push_back(static_cast<std::uint8_t>(major << 5 | 27));  // the longest form
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(argument >> shift));
  }

  void raw_float(ByteString& out, bool& reducible) {
    const double v = number();
    const std::uint64_t width = below(3);
    if (width == 0 && fits_half(v)) {
      out.push_back(0xf9);
      const ByteString enc = encode_dcbor(CborValue::number(v));
      // A non-integral half encodes as itself; an integral one becomes an integer, which
      // is written here as the refused half form instead.
      const std::uint16_t bits = enc[0] == 0xf9 ? static_cast<std::uint16_t>(enc[1] << 8 | enc[2])
                                                : static_cast<std::uint16_t>(0x3c00);  // 1.0
      out.push_back(static_cast<std::uint8_t>(bits >> 8));
      out.push_back(static_cast<std::uint8_t>(bits));
      return;
    }
    if (width <= 1 && fits_single(v)) {
      out.push_back(0xfa);
      const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
      if (is_integral(v)) reducible = true;
      return;
    }
    out.push_back(0xfb);
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
    if (is_integral(v)) reducible = true;
  }

  std::mt19937_64 rng_;
};

// Whatever the encoder writes, the decoder accepts, and decoding then encoding again gives
// the same bytes.
TEST(RoundTripProperty, EncoderOutputDecodesToItself) {
  Generator gen(0x5eed0001);
  for (int i = 0; i < 4000; ++i) {
    const CborValue v = gen.value(4);
    const ByteString encoded = encode_dcbor(v);
    auto decoded = decode_dcbor(encoded);
    ASSERT_TRUE(decoded.has_value()) << "iteration " << i << ": " << to_hex(encoded) << ": " << message(decoded.error());
    ASSERT_EQ(to_hex(encode_dcbor(*decoded)), to_hex(encoded)) << "iteration " << i;
  }
}

// Whatever the decoder accepts re-encodes to the input, except where a wide float was
// reduced to an integer; even then the re-encoding is a fixed point.
TEST(RoundTripProperty, AcceptedInputReencodesToItself) {
  Generator gen(0x5eed0002);
  int accepted = 0, refused = 0, reduced = 0;
  for (int i = 0; i < 20000; ++i) {
    ByteString input;
    bool reducible = false;
    gen.raw(input, 4, reducible);
    auto decoded = decode_dcbor(input);
    if (!decoded) {
      ++refused;
      continue;
    }
    ++accepted;
    const ByteString again = encode_dcbor(*decoded);
    if (!reducible) {
      ASSERT_EQ(to_hex(again), to_hex(input)) << "iteration " << i;
      continue;
    }
    if (again != input) ++reduced;
    auto second = decode_dcbor(again);
    ASSERT_TRUE(second.has_value()) << "iteration " << i << ": " << message(second.error());
    ASSERT_EQ(to_hex(encode_dcbor(*second)), to_hex(again)) << "iteration " << i;
  }
  // Both outcomes, and the reduction path, must actually be exercised.
  EXPECT_GT(accepted, 2000);
  EXPECT_GT(refused, 2000);
  EXPECT_GT(reduced, 20);
}

}  // namespace
}  // namespace halyx::dcbor
