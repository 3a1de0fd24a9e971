// utf8.cpp: UTF-8 validation with maximal-subpart fault lengths.
#include <halyx/dcbor/utf8.hpp>

namespace halyx::dcbor {

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
    const auto lead = utf8_lead(b);
    if (!lead) return Utf8Fault{i, 1};
    unsigned char lo = lead->first_low, hi = lead->first_high;
    for (std::size_t k = 1; k <= lead->continuations; ++k) {
      if (i + k >= n) return Utf8Fault{i, 0};
      const unsigned char c = s[i + k];
      if (c < lo || c > hi) return Utf8Fault{i, static_cast<std::uint8_t>(k)};
      lo = 0x80;
      hi = 0xbf;
    }
    i += lead->continuations + 1u;
  }
  return std::nullopt;
}

}  // namespace halyx::dcbor
