// reader.cpp: the strict reader. Reading stays inside the input; declared lengths and counts are
// trusted only as far as the bytes behind them, and nothing is allocated per item.
#include <halyx/dcbor/reader.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include <halyx/dcbor/cbor_head.hpp>
#include <halyx/dcbor/nfc.hpp>
#include <halyx/dcbor/numeric.hpp>
#include <halyx/dcbor/utf8.hpp>

namespace halyx::dcbor {
namespace {

// The integer ranges within which a single or a double has an integer form that is shorter or
// equally canonical, so the float itself is refused. They are signed because the test truncates to
// a signed integer; the encoder's ranges (numeric.cpp) are those of the integer it writes instead.
constexpr double SINGLE_INTEGER_LIMIT = 2147483648.0;          // 2^31
constexpr double DOUBLE_INTEGER_LIMIT = 9223372036854775808.0;  // 2^63

constexpr std::uint8_t HALF_FLOAT = 0xf9, SINGLE_FLOAT = 0xfa, DOUBLE_FLOAT = 0xfb;
constexpr std::uint8_t SIMPLE_FALSE = 0xf4, SIMPLE_TRUE = 0xf5, SIMPLE_NULL = 0xf6;

std::unexpected<CborError> fail(CborErrorKind kind) { return std::unexpected(CborError::of(kind)); }

double float_value(const Head& h) noexcept {
  return h.initial == SINGLE_FLOAT ? std::bit_cast<float>(static_cast<std::uint32_t>(h.argument))
                                   : std::bit_cast<double>(h.argument);
}

// Reading accepted input in place: nothing is checked again. The reader uses these on the items
// it has already read; everyone else reaches them through CborItem.

Head head_at(ByteView input, std::size_t pos) noexcept {
  const std::uint8_t initial = input[pos];
  const std::size_t width = argument_width(info_of(initial));
  const std::uint64_t argument = width == 0 ? info_of(initial) : read_big_endian(&input[pos + 1], width);
  return Head{initial, argument, 1 + width};
}

std::optional<std::uint64_t> integer_at(ByteView input, std::size_t pos) noexcept {
  const Head h = head_at(input, pos);
  switch (major_of(h.initial)) {
    case MAJOR_UNSIGNED:
      return h.argument;
    case MAJOR_NEGATIVE:
      return ~h.argument;  // -1 - n in two's complement is the complement of n
    default:
      break;
  }
  if (h.initial != SINGLE_FLOAT && h.initial != DOUBLE_FLOAT) return std::nullopt;
  const NumberForm form = canonical_number_form(float_value(h));
  if (form.kind == NumberForm::Kind::UnsignedInt) return form.bits;
  if (form.kind == NumberForm::Kind::NegativeInt) return ~form.bits;
  return std::nullopt;
}

std::optional<std::string_view> text_at(ByteView input, std::size_t pos) noexcept {
  const Head h = head_at(input, pos);
  if (major_of(h.initial) != MAJOR_TEXT) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(input.data() + pos + h.length),
                          static_cast<std::size_t>(h.argument));
}

std::size_t skip_item(ByteView input, std::size_t pos) noexcept {
  // Counts items still owed instead of recursing: a container adds its children.
  std::uint64_t owed = 1;
  while (owed != 0) {
    const Head h = head_at(input, pos);
    --owed;
    pos += h.length;
    switch (major_of(h.initial)) {
      case MAJOR_BYTES:
      case MAJOR_TEXT:
        pos += static_cast<std::size_t>(h.argument);
        break;
      case MAJOR_ARRAY:
        owed += h.argument;
        break;
      case MAJOR_MAP:
        owed += 2 * h.argument;
        break;
      case MAJOR_TAG:
        owed += 1;
        break;
      default:
        break;
    }
  }
  return pos;
}

// The canonical encoding of an accepted item, a piece at a time: the input's own bytes, except that
// a single or double that was read as an integer comes out as that integer's head.
class CanonicalPieces {
 public:
  CanonicalPieces(ByteView input, std::size_t start, std::size_t end) noexcept
      : input_(input), pos_(start), end_(end) {}

  // Returns the next piece, empty at the end.
  ByteView next() noexcept {
    if (pos_ >= end_) return {};
    const std::size_t at = pos_;
    const Head h = head_at(input_, at);
    if (h.initial == SINGLE_FLOAT || h.initial == DOUBLE_FLOAT) {
      pos_ += h.length;
      const NumberForm form = canonical_number_form(float_value(h));
      if (form.kind == NumberForm::Kind::UnsignedInt || form.kind == NumberForm::Kind::NegativeInt) {
        const auto major = form.kind == NumberForm::Kind::UnsignedInt ? MAJOR_UNSIGNED : MAJOR_NEGATIVE;
        return ByteView(scratch_.data(), encode_head(major, form.bits, scratch_));
      }
      return input_.subspan(at, h.length);
    }
    // Everything up to the next single or double is copied as it stands; a string's content is
    // skipped whole, since its bytes could look like a float's head.
    while (pos_ < end_) {
      const Head next = head_at(input_, pos_);
      if (next.initial == SINGLE_FLOAT || next.initial == DOUBLE_FLOAT) break;
      const std::uint8_t major = major_of(next.initial);
      pos_ += next.length;
      if (major == MAJOR_BYTES || major == MAJOR_TEXT) pos_ += static_cast<std::size_t>(next.argument);
    }
    return input_.subspan(at, pos_ - at);
  }

 private:
  ByteView input_;
  std::size_t pos_, end_;
  std::array<std::uint8_t, MAX_HEAD_LENGTH> scratch_{};
};

int compare_views(ByteView a, ByteView b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    if (const int c = std::memcmp(a.data(), b.data(), n); c != 0) return c;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// Compares the canonical encodings of two accepted items: negative, zero or positive as `a` sorts
// before, equal to or after `b`, bytewise with a proper prefix first. Items whose floats were read
// as integers are compared by their canonical form without building it.
int compare_canonical(ByteView input, std::size_t a_start, std::size_t a_end, bool a_reduced,
                      std::size_t b_start, std::size_t b_end, bool b_reduced) noexcept {
  if (!a_reduced && !b_reduced) {
    return compare_views(input.subspan(a_start, a_end - a_start), input.subspan(b_start, b_end - b_start));
  }
  CanonicalPieces pa(input, a_start, a_end), pb(input, b_start, b_end);
  ByteView x = pa.next(), y = pb.next();
  while (!x.empty() && !y.empty()) {
    const std::size_t n = std::min(x.size(), y.size());
    if (const int c = std::memcmp(x.data(), y.data(), n); c != 0) return c;
    x = x.subspan(n);
    y = y.subspan(n);
    if (x.empty()) x = pa.next();
    if (y.empty()) y = pb.next();
  }
  if (x.empty() && y.empty()) return 0;
  return x.empty() ? -1 : 1;
}

}  // namespace

Head CborItem::head() const noexcept { return head_at(input_, pos_); }

std::uint8_t CborItem::major() const noexcept { return major_of(input_[pos_]); }

ByteView CborItem::encoding() const noexcept { return input_.subspan(pos_, skip_item(input_, pos_) - pos_); }

ByteView CborItem::body() const noexcept {
  const std::size_t start = pos_ + head().length;
  return input_.subspan(start, skip_item(input_, pos_) - start);
}

CborItem::Children CborItem::children() const noexcept {
  const Head h = head();
  switch (major_of(h.initial)) {
    case MAJOR_ARRAY:
      return {input_, pos_ + h.length, h.argument};
    case MAJOR_MAP:
      return {input_, pos_ + h.length, 2 * h.argument};  // accepted input backs every entry, so no overflow
    case MAJOR_TAG:
      return {input_, pos_ + h.length, 1};
    default:
      return {input_, pos_ + h.length, 0};
  }
}

CborItem::Children::iterator& CborItem::Children::iterator::operator++() noexcept {
  // Stepping past the last child would read the next item of the input, or past its end.
  if (--left_ != 0) pos_ = skip_item(input_, pos_);
  return *this;
}

std::optional<std::uint64_t> CborItem::integer() const noexcept { return integer_at(input_, pos_); }

std::optional<std::string_view> CborItem::text() const noexcept { return text_at(input_, pos_); }

ByteString canonical_encoding(ByteView input, std::size_t start, std::size_t end, bool reduced) {
  if (!reduced) return ByteString(input.begin() + static_cast<std::ptrdiff_t>(start),
                                  input.begin() + static_cast<std::ptrdiff_t>(end));
  ByteString out;
  CanonicalPieces pieces(input, start, end);
  for (ByteView p = pieces.next(); !p.empty(); p = pieces.next()) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::expected<Token, CborError> Reader::next() {
  if (!frames_.empty() && frames_.back().remaining == 0) {
    const Frame done = frames_.back();
    frames_.pop_back();
    if (auto ok = settle(done.start, done.reductions_at_start); !ok) return std::unexpected(ok.error());
    Token end;
    end.kind = Token::Kind::End;
    end.start = done.start;
    return end;
  }
  return read_item();
}

std::expected<Token, CborError> Reader::read_item() {
  const std::size_t start = pos_;
  const std::uint64_t reductions_before = reductions_;
  const std::size_t left = input_.size() - pos_;
  if (left == 0) return fail(CborErrorKind::Truncated);
  const std::uint8_t initial = input_[pos_];
  const std::uint8_t major = major_of(initial);
  const std::uint8_t ai = info_of(initial);
  // 28-30 are unassigned and 31 is the indefinite-length marker or break: none has a place in
  // deterministic data, in any major type. The length checks come before the shortest-form check,
  // and both before anything that depends on the major type.
  if (ai > AI_EIGHT_BYTES) return fail(CborErrorKind::ReservedHeader);
  const std::size_t width = argument_width(ai);
  if (left < 1 + width) return fail(CborErrorKind::Truncated);
  const std::uint64_t argument = width == 0 ? ai : read_big_endian(&input_[pos_ + 1], width);
  // A float's bits are not a count; its width is judged by value, not by size.
  const bool is_float = major == MAJOR_SIMPLE && ai > AI_ONE_BYTE;
  if (width != 0 && !is_float && argument < smallest_argument(ai)) return fail(CborErrorKind::NonShortestNumber);
  pos_ += 1 + width;

  Token t;
  t.start = start;
  t.argument = argument;
  switch (major) {
    case MAJOR_UNSIGNED:
      t.kind = Token::Kind::UnsignedInt;
      break;
    case MAJOR_NEGATIVE:
      t.kind = Token::Kind::NegativeInt;
      break;
    case MAJOR_BYTES:
    case MAJOR_TEXT: {
      if (argument > input_.size() - pos_) return fail(CborErrorKind::Truncated);
      t.content = input_.subspan(pos_, static_cast<std::size_t>(argument));
      pos_ += static_cast<std::size_t>(argument);
      t.kind = major == MAJOR_BYTES ? Token::Kind::Bytes : Token::Kind::Text;
      if (major == MAJOR_TEXT) {
        const std::string_view s(reinterpret_cast<const char*>(t.content.data()), t.content.size());
        if (!is_ascii(s)) {
          if (auto fault = find_utf8_fault(s)) return std::unexpected(CborError::bad_utf8(*fault));
          if (!is_nfc(s)) return fail(CborErrorKind::NotNfc);
        }
      }
      break;
    }
    case MAJOR_ARRAY:
    case MAJOR_MAP:
    case MAJOR_TAG: {
      // Refused on opening, even when empty: the depth bound is a property of the input's shape.
      if (frames_.size() >= MAX_NESTING_DEPTH) return fail(CborErrorKind::NestingTooDeep);
      t.kind = major == MAJOR_ARRAY ? Token::Kind::Array : major == MAJOR_MAP ? Token::Kind::Map : Token::Kind::Tag;
      frames_.push_back(Frame{t.kind, major == MAJOR_TAG ? 1 : argument, start, reductions_before, false, false, {}, {}});
      return t;  // settled when its End is read
    }
    default:
      switch (initial) {
        case SIMPLE_FALSE:
          t.kind = Token::Kind::False;
          break;
        case SIMPLE_TRUE:
          t.kind = Token::Kind::True;
          break;
        case SIMPLE_NULL:
          t.kind = Token::Kind::Null;
          break;
        case HALF_FLOAT: {
          // A half is the narrowest float, so only integral values (which have an integer form)
          // and NaNs other than the one canonical pattern are refused.
          const auto bits = static_cast<std::uint16_t>(argument);
          const double v = half_to_double(bits);
          if (std::isnan(v) ? bits != 0x7e00 : is_integral(v)) return fail(CborErrorKind::NonShortestNumber);
          t.kind = Token::Kind::Float;
          t.number = v;
          break;
        }
        case SINGLE_FLOAT:
        case DOUBLE_FLOAT: {
          const bool single = initial == SINGLE_FLOAT;
          const double v = single ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(argument)))
                                  : std::bit_cast<double>(argument);
          const double limit = single ? SINGLE_INTEGER_LIMIT : DOUBLE_INTEGER_LIMIT;
          if (std::isnan(v) || (single ? fits_half(v) : fits_single(v)) || (is_integral(v) && v >= -limit && v <= limit)) {
            return fail(CborErrorKind::NonShortestNumber);
          }
          // Numeric reduction: the float has no narrower float form, so its canonical form is
          // either an integer or the float itself.
          const NumberForm form = canonical_number_form(v);
          if (form.kind == NumberForm::Kind::UnsignedInt || form.kind == NumberForm::Kind::NegativeInt) {
            t.kind = form.kind == NumberForm::Kind::UnsignedInt ? Token::Kind::UnsignedInt : Token::Kind::NegativeInt;
            t.argument = form.bits;
            ++reductions_;
          } else {
            t.kind = Token::Kind::Float;
            t.number = v;
          }
          break;
        }
        default:
          return fail(CborErrorKind::BadSimpleValue);
      }
      break;
  }
  if (auto ok = settle(start, reductions_before); !ok) return std::unexpected(ok.error());
  return t;
}

// Accounts for a completed item, which began at `start`, in the container around it.
std::expected<void, CborError> Reader::settle(std::size_t start, std::uint64_t reductions_before) {
  if (frames_.empty()) {
    done_ = true;
    return {};
  }
  Frame& f = frames_.back();
  if (f.kind != Token::Kind::Map) {
    --f.remaining;
    return {};
  }
  const Span item{start, pos_, reductions_ != reductions_before};
  if (!f.expecting_value) {
    f.key = item;
    f.expecting_value = true;
    return {};
  }
  // The entry is complete: only now is its key's place judged.
  if (auto ok = check_key_order(f); !ok) return ok;
  f.previous_key = f.key;
  f.has_previous_key = true;
  f.expecting_value = false;
  --f.remaining;
  return {};
}

std::expected<void, CborError> Reader::check_key_order(const Frame& map) const {
  if (!map.has_previous_key) return {};
  const Span& k = map.key;
  const Span& p = map.previous_key;
  const int c = compare_canonical(input_, p.start, p.end, p.reduced, k.start, k.end, k.reduced);
  if (c < 0) return {};
  if (c == 0) return fail(CborErrorKind::DuplicateKey);
  // Held keys ascend, so only one of them can equal this key; which error to report needs to know
  // whether one does. This runs once, on the way out, and reads the map's earlier keys in place.
  std::size_t pos = map.start + head_at(input_, map.start).length;
  while (pos < k.start) {
    const std::size_t key_end = skip_item(input_, pos);
    if (compare_canonical(input_, pos, key_end, true, k.start, k.end, k.reduced) == 0) {
      return fail(CborErrorKind::DuplicateKey);
    }
    pos = skip_item(input_, key_end);
  }
  return fail(CborErrorKind::KeyOrder);
}

std::expected<AcceptedPrefix, CborError> validate_dcbor_prefix(ByteView input) {
  Reader r(input);
  while (!r.done()) {
    auto t = r.next();
    if (!t) return std::unexpected(t.error());
  }
  return AcceptedPrefix{AcceptedCbor(input.first(r.position())), r.position()};
}

std::expected<AcceptedCbor, CborError> validate_dcbor(ByteView input) {
  auto prefix = validate_dcbor_prefix(input);
  if (!prefix) return std::unexpected(prefix.error());
  if (prefix->length != input.size()) return std::unexpected(CborError::trailing_bytes(input.size() - prefix->length));
  return prefix->item;
}

}  // namespace halyx::dcbor
