// nfc.cpp: NFC check and normaliser over the generated Unicode tables.
#include <halyx/dcbor/nfc.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <halyx/dcbor/utf8.hpp>

namespace halyx::dcbor {
namespace {

struct NfcComposition {
  char32_t first;
  char32_t second;
  char32_t composite;
};

#include "nfc_tables.inc"

constexpr char32_t REPLACEMENT = 0xFFFD;

// Hangul syllables are composed from jamo arithmetically rather than from tables.
constexpr char32_t S_BASE = 0xAC00, L_BASE = 0x1100, V_BASE = 0x1161, T_BASE = 0x11A7;
constexpr char32_t L_COUNT = 19, V_COUNT = 21, T_COUNT = 28;
constexpr char32_t N_COUNT = V_COUNT * T_COUNT, S_COUNT = L_COUNT * N_COUNT;

std::uint32_t props(char32_t cp) noexcept {
  if (cp >= kNfcLimit) return 0;
  const std::uint32_t block = kNfcStage1[cp >> kNfcShift];
  return kNfcStage2[(block << kNfcShift) | (cp & ((1u << kNfcShift) - 1))];
}
std::uint8_t ccc_of(std::uint32_t p) noexcept { return static_cast<std::uint8_t>(p & 0xff); }
unsigned qc_of(std::uint32_t p) noexcept { return (p >> 8) & 3; }  // 0 Yes, 1 Maybe, 2 No
constexpr unsigned QC_MAYBE = 1, QC_NO = 2;

// Decodes the code point at s[i] of well-formed UTF-8 and advances i past it.
char32_t next_valid(const unsigned char* s, std::size_t& i) noexcept {
  const unsigned char b = s[i];
  if (b < 0x80) {
    ++i;
    return b;
  }
  if (b < 0xe0) {
    const char32_t cp = (char32_t{b} & 0x1f) << 6 | (s[i + 1] & 0x3f);
    i += 2;
    return cp;
  }
  if (b < 0xf0) {
    const char32_t cp = (char32_t{b} & 0x0f) << 12 | char32_t{s[i + 1] & 0x3fu} << 6 | (s[i + 2] & 0x3f);
    i += 3;
    return cp;
  }
  const char32_t cp = (char32_t{b} & 0x07) << 18 | char32_t{s[i + 1] & 0x3fu} << 12 |
                      char32_t{s[i + 2] & 0x3fu} << 6 | (s[i + 3] & 0x3f);
  i += 4;
  return cp;
}

struct Decoded {
  char32_t cp;
  bool well_formed;
};

// Decodes the code point at s[i] of possibly ill-formed UTF-8 and advances i past it; a
// maximal ill-formed subsequence yields U+FFFD and is skipped as one unit.
Decoded next_lenient(const unsigned char* s, std::size_t n, std::size_t& i) noexcept {
  const unsigned char b = s[i];
  if (b < 0x80) {
    ++i;
    return {b, true};
  }
  const auto lead = utf8_lead(b);
  if (!lead) {
    ++i;
    return {REPLACEMENT, false};
  }
  char32_t cp = lead->bits;
  unsigned char lo = lead->first_low, hi = lead->first_high;
  std::size_t k = 1;
  for (; k <= lead->continuations; ++k) {
    if (i + k >= n || s[i + k] < lo || s[i + k] > hi) {
      i += k;
      return {REPLACEMENT, false};
    }
    cp = cp << 6 | (s[i + k] & 0x3fu);
    lo = 0x80;
    hi = 0xbf;
  }
  i += k;
  return {cp, true};
}

struct Unit {
  char32_t cp;
  std::uint8_t ccc;
  bool may_combine_back;  // NFC_Quick_Check=Maybe: the only code points that can end a composite
};

Unit unit_of(char32_t cp) noexcept {
  const std::uint32_t p = props(cp);
  return Unit{cp, ccc_of(p), qc_of(p) == QC_MAYBE};
}

void decompose(char32_t cp, std::vector<Unit>& out) {
  if (cp >= S_BASE && cp < S_BASE + S_COUNT) {
    const char32_t s = cp - S_BASE;
    out.push_back(unit_of(L_BASE + s / N_COUNT));
    out.push_back(unit_of(V_BASE + (s % N_COUNT) / T_COUNT));
    if (s % T_COUNT != 0) out.push_back(unit_of(T_BASE + s % T_COUNT));
    return;
  }
  const std::uint32_t p = props(cp);
  const std::uint32_t length = (p >> 10) & 7;
  if (length == 0) {
    out.push_back(Unit{cp, ccc_of(p), qc_of(p) == QC_MAYBE});
    return;
  }
  // The pool holds full decompositions, so one step reaches the end of the recursion.
  const std::uint32_t offset = p >> 13;
  for (std::uint32_t k = 0; k < length; ++k) out.push_back(unit_of(kNfcDecompositionPool[offset + k]));
}

// Returns the primary composite of the pair, or 0 when there is none.
char32_t compose_pair(char32_t a, char32_t b) noexcept {
  if (a >= L_BASE && a < L_BASE + L_COUNT && b >= V_BASE && b < V_BASE + V_COUNT) {
    return S_BASE + ((a - L_BASE) * V_COUNT + (b - V_BASE)) * T_COUNT;
  }
  if (a >= S_BASE && a < S_BASE + S_COUNT && (a - S_BASE) % T_COUNT == 0 && b > T_BASE &&
      b < T_BASE + T_COUNT) {
    return a + (b - T_BASE);
  }
  const auto* end = std::end(kNfcCompositions);
  const auto* it = std::lower_bound(std::begin(kNfcCompositions), end, NfcComposition{a, b, 0},
                                    [](const NfcComposition& x, const NfcComposition& y) {
                                      return x.first != y.first ? x.first < y.first : x.second < y.second;
                                    });
  return (it != end && it->first == a && it->second == b) ? it->composite : 0;
}

// Puts each run of non-starters into ascending combining class, keeping equal classes in
// their order. Starters never move, so they bound the runs. Runs are short in real text;
// a long one (built to be slow) gets a sort that stays O(n log n).
void canonical_order(std::vector<Unit>& units) {
  const auto by_class = [](const Unit& a, const Unit& b) { return a.ccc < b.ccc; };
  std::size_t i = 0;
  while (i < units.size()) {
    if (units[i].ccc == 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < units.size() && units[end].ccc != 0) ++end;
    const auto first = units.begin() + static_cast<std::ptrdiff_t>(i);
    const auto last = units.begin() + static_cast<std::ptrdiff_t>(end);
    if (end - i > 32) {
      std::stable_sort(first, last, by_class);
    } else {
      for (auto it = first + 1; it < last; ++it) {
        for (auto j = it; j > first && by_class(*j, *(j - 1)); --j) std::iter_swap(j - 1, j);
      }
    }
    i = end;
  }
}

// Composes in place: each character joins the last starter unless a character between them
// has a combining class that is zero or not below its own (it is then blocked).
void compose(std::vector<Unit>& units) {
  if (units.empty()) return;
  std::size_t starter = 0;
  // A leading non-starter has no starter to join; 256 blocks everything until one comes.
  unsigned last_class = units[0].ccc == 0 ? 0u : 256u;
  std::size_t out = 1;
  for (std::size_t i = 1; i < units.size(); ++i) {
    const Unit u = units[i];
    if (u.may_combine_back && (last_class < u.ccc || last_class == 0)) {
      if (const char32_t c = compose_pair(units[starter].cp, u.cp); c != 0) {
        units[starter] = unit_of(c);
        continue;
      }
    }
    if (u.ccc == 0) starter = out;
    last_class = u.ccc;
    units[out++] = u;
  }
  units.resize(out);
}

}  // namespace

NfcQuickCheck nfc_quick_check(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  NfcQuickCheck result = NfcQuickCheck::Yes;
  unsigned last_class = 0;
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      // ASCII is class 0 and Yes: skip it, a word at a time where possible.
      last_class = 0;
      ++i;
      while (i + 8 <= n && ascii8(s + i)) i += 8;
      continue;
    }
    const std::uint32_t p = props(next_valid(s, i));
    const unsigned c = ccc_of(p);
    if (c != 0 && c < last_class) return NfcQuickCheck::No;
    const unsigned qc = qc_of(p);
    if (qc == QC_NO) return NfcQuickCheck::No;
    if (qc == QC_MAYBE) result = NfcQuickCheck::Maybe;
    last_class = c;
  }
  return result;
}

namespace {

// Decides whether a text the quick check answered Maybe for equals its own normalisation, without
// building it: the normalisation's code points are produced one at a time and compared with the
// text's as they come, in constant memory however long the text (a run of a million combining marks
// included).
//
// The Maybe answer is what makes this possible. The text then holds no NFC_Quick_Check=No code
// point, and each run of its non-starters already ascends by combining class. In Unicode 16.0 every
// such code point with a decomposition is a starter whose full decomposition is one or more starters
// followed by at most three non-starters in canonical order, and no non-starter of the text
// decomposes. So canonical ordering only ever merges that short tail with the text's own ascending
// run, which a small buffer does on the fly; composition needs only the last starter and the class
// of the last character left uncomposed. A text that breaks these facts (tables of a later Unicode
// version might) is checked by normalising it instead.
class NfcStreamCheck {
 public:
  explicit NfcStreamCheck(std::string_view text) noexcept
      : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

  // Returns true or false for equality, or nothing when the text breaks the facts above.
  std::optional<bool> run() noexcept {
    std::size_t i = 0;
    while (i < n_ && ok_) {
      const char32_t cp = next_valid(s_, i);
      const std::uint32_t p = props(cp);
      if (ccc_of(p) != 0) {
        if (decomposes(cp, p)) return std::nullopt;
        const Unit u{cp, ccc_of(p), qc_of(p) == QC_MAYBE};
        // Stable merge: the tail came first in the text, so it goes first among equal classes.
        while (tail_size_ > 0 && tail_[0].ccc <= u.ccc) pop_tail();
        feed(u);
        continue;
      }
      while (tail_size_ > 0) pop_tail();
      std::array<Unit, MAX_DECOMPOSITION> parts{};
      const std::size_t count = decompose_into(cp, p, parts);
      if (count == 0) return std::nullopt;
      for (std::size_t k = 0; k < count; ++k) {
        if (parts[k].ccc == 0) {
          if (tail_size_ > 0) return std::nullopt;  // a starter after a non-starter in one decomposition
          feed(parts[k]);
        } else {
          tail_[tail_size_++] = parts[k];
        }
      }
    }
    while (tail_size_ > 0 && ok_) pop_tail();
    if (have_starter_) finish_starter();
    return ok_ && compared_ == n_;
  }

 private:
  static constexpr std::size_t MAX_DECOMPOSITION = 4;

  static bool decomposes(char32_t cp, std::uint32_t p) noexcept {
    return (cp >= S_BASE && cp < S_BASE + S_COUNT) || ((p >> 10) & 7) != 0;
  }

  // Writes the full decomposition of a starter into `out`; returns its length, or 0 when it does
  // not fit the shape this check relies on.
  static std::size_t decompose_into(char32_t cp, std::uint32_t p, std::array<Unit, MAX_DECOMPOSITION>& out) noexcept {
    if (cp >= S_BASE && cp < S_BASE + S_COUNT) {
      const char32_t s = cp - S_BASE;
      out[0] = unit_of(L_BASE + s / N_COUNT);
      out[1] = unit_of(V_BASE + (s % N_COUNT) / T_COUNT);
      if (s % T_COUNT == 0) return 2;
      out[2] = unit_of(T_BASE + s % T_COUNT);
      return 3;
    }
    const std::uint32_t length = (p >> 10) & 7;
    if (length == 0) {
      out[0] = Unit{cp, ccc_of(p), qc_of(p) == QC_MAYBE};
      return 1;
    }
    if (length > MAX_DECOMPOSITION) return 0;
    const std::uint32_t offset = p >> 13;
    for (std::uint32_t k = 0; k < length; ++k) {
      out[k] = unit_of(kNfcDecompositionPool[offset + k]);
      if (k > 0 && out[k].ccc != 0 && out[k - 1].ccc > out[k].ccc) return 0;
    }
    return length;
  }

  void pop_tail() noexcept {
    const Unit u = tail_[0];
    for (std::size_t k = 1; k < tail_size_; ++k) tail_[k - 1] = tail_[k];
    --tail_size_;
    feed(u);
  }

  // The text's next code point, which the next character of the normalisation must equal.
  bool take_expected(char32_t& cp) noexcept {
    if (compared_ >= n_) return false;
    cp = next_valid(s_, compared_);
    return true;
  }

  void finish_starter() noexcept {
    if (starter_.cp != starter_expected_) ok_ = false;
  }

  // The composition step of the normalisation, one character at a time, as compose() does it.
  void feed(const Unit& u) noexcept {
    if (!have_starter_) {
      // The first character holds the first place even when it is not a starter; 256 then blocks
      // everything from joining it until a starter comes.
      have_starter_ = true;
      starter_ = u;
      last_class_ = u.ccc == 0 ? 0u : 256u;
      if (!take_expected(starter_expected_)) ok_ = false;
      return;
    }
    if (u.may_combine_back && (last_class_ < u.ccc || last_class_ == 0)) {
      if (const char32_t c = compose_pair(starter_.cp, u.cp); c != 0) {
        starter_ = unit_of(c);
        return;
      }
    }
    char32_t expected = 0;
    if (!take_expected(expected)) {
      ok_ = false;
      return;
    }
    if (u.ccc == 0) {
      // The previous starter can change no more: nothing after a starter composes with what
      // stands before it.
      finish_starter();
      starter_ = u;
      starter_expected_ = expected;
    } else if (u.cp != expected) {
      ok_ = false;
    }
    last_class_ = u.ccc;
  }

  const unsigned char* s_;
  std::size_t n_;
  std::size_t compared_ = 0;  // how much of the text the normalisation has been compared with
  bool ok_ = true;
  bool have_starter_ = false;
  Unit starter_{};
  char32_t starter_expected_ = 0;  // the text's code point at the starter's place
  unsigned last_class_ = 0;
  std::array<Unit, MAX_DECOMPOSITION> tail_{};
  std::size_t tail_size_ = 0;
};

}  // namespace

bool is_nfc(std::string_view text) {
  switch (nfc_quick_check(text)) {
    case NfcQuickCheck::Yes:
      return true;
    case NfcQuickCheck::No:
      return false;
    case NfcQuickCheck::Maybe:
      break;
  }
  if (const auto equal = NfcStreamCheck(text).run()) return *equal;
  return to_nfc(text) == text;
}

std::string to_nfc(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();

  // Find where work starts: the last boundary before the first code point the quick check
  // does not pass. A starter with NFC_Quick_Check=Yes never combines with what precedes it,
  // so everything before it is already NFC and is copied as it stands.
  std::size_t boundary = 0;
  std::size_t i = 0;
  unsigned last_class = 0;
  bool clean = true;
  while (i < n) {
    const std::size_t at = i;
    if (s[i] < 0x80) {
      ++i;
      last_class = 0;
      boundary = at;
      continue;
    }
    const Decoded d = next_lenient(s, n, i);
    if (!d.well_formed) {  // ill-formed bytes must be replaced, so the clean stretch ends
      clean = false;
      break;
    }
    const std::uint32_t p = props(d.cp);
    const unsigned c = ccc_of(p);
    if (qc_of(p) != 0 || (c != 0 && c < last_class)) {
      clean = false;
      break;
    }
    if (c == 0) boundary = at;
    last_class = c;
  }
  if (clean) return std::string(text);

  std::string out(text.substr(0, boundary));
  std::vector<Unit> units;
  for (i = boundary; i < n;) decompose(next_lenient(s, n, i).cp, units);
  canonical_order(units);
  compose(units);
  for (const Unit& u : units) append_utf8(out, u.cp);
  return out;
}

}  // namespace halyx::dcbor
