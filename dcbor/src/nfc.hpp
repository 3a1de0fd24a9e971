// nfc.hpp: Unicode Normalization Form C (UAX #15) with Unicode 16.0 data.
#pragma once

#include <string>
#include <string_view>

namespace halyx::dcbor {

enum class NfcQuickCheck : unsigned char { Yes, Maybe, No };

// Returns the quick-check answer for well-formed UTF-8 `text`: No when a code point is
// NFC_Quick_Check=No or a non-zero combining class follows a higher one, else Maybe when a
// code point is NFC_Quick_Check=Maybe, else Yes. ASCII code points take no table lookup.
[[nodiscard]] NfcQuickCheck nfc_quick_check(std::string_view text) noexcept;

// Returns whether well-formed UTF-8 `text` is in NFC: the quick check, then, only when it
// answers Maybe, a comparison with the text's own normalisation.
[[nodiscard]] bool is_nfc(std::string_view text);

// Returns `text` normalised to NFC: canonical decomposition (Hangul included), canonical
// ordering, then canonical composition. Ill-formed UTF-8 cannot be normalised; each maximal
// ill-formed subsequence becomes U+FFFD, so the result is always well-formed.
[[nodiscard]] std::string to_nfc(std::string_view text);

}  // namespace halyx::dcbor
