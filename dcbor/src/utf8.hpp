// utf8.hpp: UTF-8 well-formedness, as the Unicode standard defines it.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <halyx/dcbor/cbor_error.hpp>

namespace halyx::dcbor {

// Returns the first fault of `text` as UTF-8, or nothing when it is well-formed: no
// overlong forms, no surrogates, nothing above U+10FFFF. The fault's length is that of the
// maximal ill-formed subsequence (the longest prefix of a valid sequence that the input
// starts), so callers that resume after it agree with every conforming decoder.
[[nodiscard]] std::optional<Utf8Fault> find_utf8_fault(std::string_view text) noexcept;

// Whether the eight bytes at `p` are all ASCII.
[[nodiscard]] inline bool ascii8(const void* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0x8080808080808080ULL) == 0;
}

// What a lead byte of 0x80 or above says of its sequence: how many continuation bytes follow, the
// range the first of them must fall in (the narrower ranges are what exclude overlong forms,
// surrogates and values above U+10FFFF), and the code point bits the lead byte carries. Nothing for
// a byte that cannot start a sequence: a continuation byte, C0, C1 or F5-FF.
struct Utf8Lead {
  std::uint8_t continuations;
  unsigned char first_low, first_high;
  char32_t bits;
};
[[nodiscard]] inline std::optional<Utf8Lead> utf8_lead(unsigned char b) noexcept {
  if (b >= 0xc2 && b <= 0xdf) return Utf8Lead{1, 0x80, 0xbf, b & 0x1fu};
  if (b >= 0xe0 && b <= 0xef) {
    return Utf8Lead{2, static_cast<unsigned char>(b == 0xe0 ? 0xa0 : 0x80),
                    static_cast<unsigned char>(b == 0xed ? 0x9f : 0xbf), b & 0x0fu};
  }
  if (b >= 0xf0 && b <= 0xf4) {
    return Utf8Lead{3, static_cast<unsigned char>(b == 0xf0 ? 0x90 : 0x80),
                    static_cast<unsigned char>(b == 0xf4 ? 0x8f : 0xbf), b & 0x07u};
  }
  return std::nullopt;
}

// Appends the UTF-8 form of the code point `cp`, which must be at most U+10FFFF. A surrogate is
// written as the three bytes its value gives, which is not well-formed: callers that need
// well-formed text replace surrogates first (tests use them to build ill-formed input).
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// Whether every byte of `text` is below 0x80: then it is well-formed UTF-8 and in NFC, and
// needs no further look.
[[nodiscard]] bool is_ascii(std::string_view text) noexcept;

}  // namespace halyx::dcbor
