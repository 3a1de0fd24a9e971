// utf8.cpp: UTF-8 validation with maximal-subpart fault lengths.
#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace dcbor {
namespace {

// Whether the eight bytes at p are all ASCII.
bool ascii8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    if (!ascii8(text.data() + i)) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: skip it a word at a time.
    while (i + 8 <= n && ascii8(text.data() + i)) i += 8;
    if (i >= n) break;
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    // The lead byte fixes how many continuation bytes follow and the range the first of
    // them must fall in; the narrower first ranges are what exclude overlong forms,
    // surrogates and values above U+10FFFF.
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xbf;
    if (b >= 0xc2 && b <= 0xdf) {
      need = 1;
    } else if (b >= 0xe0 && b <= 0xef) {
      need = 2;
      if (b == 0xe0) lo = 0xa0;
      if (b == 0xed) hi = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
      need = 3;
      if (b == 0xf0) lo = 0x90;
      if (b == 0xf4) hi = 0x8f;
    } else {
      return Utf8Fault{i, 1};  // a continuation byte, C0, C1 or F5-FF cannot start anything
    }
    for (std::size_t k = 1; k <= need; ++k) {
      if (i + k >= n) return Utf8Fault{i, 0};
      const unsigned char c = s[i + k];
      if (c < lo || c > hi) return Utf8Fault{i, static_cast<std::uint8_t>(k)};
      lo = 0x80;
      hi = 0xbf;
    }
    i += need + 1;
  }
  return std::nullopt;
}

}  // namespace dcbor
