// decode.cpp: the strict decoder. Reading stays inside `input`; declared lengths and counts
// are trusted only as far as the bytes behind them.
#include "decode.hpp"

#include <bit>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "encode.hpp"
#include "nfc.hpp"
#include "numeric.hpp"
#include "utf8.hpp"

namespace dcbor {
namespace {

constexpr double TWO_31 = 2147483648.0;
constexpr double TWO_63 = 9223372036854775808.0;

struct Head {
  std::uint8_t initial;  // the whole first byte
  std::uint8_t major;
  std::uint64_t argument;
};

std::unexpected<CborError> fail(CborErrorKind kind) { return std::unexpected(CborError::of(kind)); }

class Decoder {
 public:
  explicit Decoder(ByteView input) noexcept : input_(input) {}

  std::size_t position() const noexcept { return pos_; }

  // Decodes the item at the current position, which `depth` arrays, maps and tags enclose.
  std::expected<CborValue, CborError> item(unsigned depth) {
    auto head = read_head();
    if (!head) return std::unexpected(head.error());
    switch (head->major) {
      case 0:
        return CborValue::unsigned_int(head->argument);
      case 1:
        return CborValue::negative_int(head->argument);
      case 2: {
        auto bytes = read_span(head->argument);
        if (!bytes) return std::unexpected(bytes.error());
        return CborValue::bytes(ByteString(bytes->begin(), bytes->end()));
      }
      case 3:
        return text(head->argument);
      case 4:
      case 5:
      case 6:
        // Each level costs a stack frame; refuse before descending, not after.
        if (depth >= MAX_NESTING_DEPTH) return fail(CborErrorKind::NestingTooDeep);
        if (head->major == 4) return array(head->argument, depth + 1);
        if (head->major == 5) return map(head->argument, depth + 1);
        return tagged(head->argument, depth + 1);
      default:
        return simple(*head);
    }
  }

 private:
  std::uint64_t remaining() const noexcept { return input_.size() - pos_; }

  std::expected<Head, CborError> read_head() {
    if (remaining() == 0) return fail(CborErrorKind::Truncated);
    const std::uint8_t b = input_[pos_];
    const auto major = static_cast<std::uint8_t>(b >> 5);
    const std::uint8_t ai = b & 0x1f;
    // 28-30 are unassigned and 31 is the indefinite-length marker or break: none has a
    // place in deterministic data, in any major type.
    if (ai >= 28) return fail(CborErrorKind::ReservedHeader);
    if (ai < 24) {
      ++pos_;
      return Head{b, major, ai};
    }
    const std::size_t width = std::size_t{1} << (ai - 24);  // 1, 2, 4 or 8
    if (remaining() < 1 + width) return fail(CborErrorKind::Truncated);
    std::uint64_t argument = 0;
    for (std::size_t i = 1; i <= width; ++i) argument = argument << 8 | input_[pos_ + i];
    // A float's bits are not a count; its width is judged by value, not by size.
    const bool is_float = major == 7 && ai >= 25;
    static constexpr std::uint64_t SMALLEST[] = {24, 0x100, 0x10000, 0x100000000};
    if (!is_float && argument < SMALLEST[ai - 24]) return fail(CborErrorKind::NonShortestNumber);
    pos_ += 1 + width;
    return Head{b, major, argument};
  }

  // Returns the next n bytes, checked against what is left before anything is taken.
  std::expected<ByteView, CborError> read_span(std::uint64_t n) {
    if (n > remaining()) return fail(CborErrorKind::Truncated);
    const ByteView out = input_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return out;
  }

  std::expected<CborValue, CborError> text(std::uint64_t length) {
    auto bytes = read_span(length);
    if (!bytes) return std::unexpected(bytes.error());
    const std::string_view s(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (!is_ascii(s)) {
      if (auto fault = find_utf8_fault(s)) return std::unexpected(CborError::bad_utf8(*fault));
      if (!is_nfc(s)) return fail(CborErrorKind::NotNfc);
    }
    return CborValue::text(std::string(s));
  }

  // Items are appended as they arrive: the count is only a promise, and one the input
  // cannot keep ends in Truncated at its last byte.
  std::expected<CborValue, CborError> array(std::uint64_t count, unsigned depth) {
    std::vector<CborValue> items;
    for (std::uint64_t i = 0; i < count; ++i) {
      auto v = item(depth);
      if (!v) return std::unexpected(v.error());
      items.push_back(std::move(*v));
    }
    return CborValue::array(std::move(items));
  }

  std::expected<CborValue, CborError> map(std::uint64_t count, unsigned depth) {
    CborMap map;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::size_t key_start = pos_;
      const std::uint64_t reductions_before = reductions_;
      auto key = item(depth);
      if (!key) return std::unexpected(key.error());
      const std::size_t key_end = pos_;
      auto value = item(depth);
      if (!value) return std::unexpected(value.error());
      // An accepted key is canonical as read, unless a float in it became an integer; only
      // then does its encoding differ from the input bytes.
      ByteString encoding = reductions_ == reductions_before
                                ? ByteString(input_.begin() + static_cast<std::ptrdiff_t>(key_start),
                                             input_.begin() + static_cast<std::ptrdiff_t>(key_end))
                                : encode_dcbor(*key);
      switch (map.append_ascending(std::move(encoding), std::move(*key), std::move(*value))) {
        case CborMap::Append::Appended:
          break;
        case CborMap::Append::Duplicate:
          return fail(CborErrorKind::DuplicateKey);
        case CborMap::Append::OutOfOrder:
          return fail(CborErrorKind::KeyOrder);
      }
    }
    return CborValue::map(std::move(map));
  }

  std::expected<CborValue, CborError> tagged(std::uint64_t tag, unsigned depth) {
    auto v = item(depth);
    if (!v) return std::unexpected(v.error());
    return CborValue::tagged(tag, std::move(*v));
  }

  std::expected<CborValue, CborError> simple(const Head& head) {
    switch (head.initial) {
      case 0xf4:
        return CborValue::boolean(false);
      case 0xf5:
        return CborValue::boolean(true);
      case 0xf6:
        return CborValue::null();
      case 0xf9:
        return half_float(static_cast<std::uint16_t>(head.argument));
      case 0xfa:
        return single_float(static_cast<std::uint32_t>(head.argument));
      case 0xfb:
        return double_float(head.argument);
      default:
        return fail(CborErrorKind::BadSimpleValue);
    }
  }

  // A half is the narrowest float, so only integral values (which have an integer form)
  // and NaNs other than the one canonical pattern are refused.
  std::expected<CborValue, CborError> half_float(std::uint16_t bits) {
    const double v = half_to_double(bits);
    if (std::isnan(v) ? bits != 0x7e00 : is_integral(v)) return fail(CborErrorKind::NonShortestNumber);
    return CborValue::number(v);
  }

  std::expected<CborValue, CborError> single_float(std::uint32_t bits) {
    const double v = std::bit_cast<float>(bits);
    if (std::isnan(v) || fits_half(v) || (is_integral(v) && v >= -TWO_31 && v <= TWO_31)) {
      return fail(CborErrorKind::NonShortestNumber);
    }
    return reduce(v);
  }

  std::expected<CborValue, CborError> double_float(std::uint64_t bits) {
    const double v = std::bit_cast<double>(bits);
    if (std::isnan(v) || fits_single(v) || (is_integral(v) && v >= -TWO_63 && v <= TWO_63)) {
      return fail(CborErrorKind::NonShortestNumber);
    }
    return reduce(v);
  }

  // Numeric reduction: a float accepted above has no narrower float form, so its canonical
  // form is either an integer or its own width.
  CborValue reduce(double v) {
    CborValue out = CborValue::number(v);
    if (out.kind() != CborValue::Kind::Simple) ++reductions_;
    return out;
  }

  ByteView input_;
  std::size_t pos_ = 0;            // only grows
  std::uint64_t reductions_ = 0;   // floats turned into integers so far
};

}  // namespace

std::expected<CborValue, CborError> decode_dcbor(ByteView input) {
  Decoder decoder(input);
  auto value = decoder.item(0);
  if (!value) return std::unexpected(value.error());
  if (decoder.position() != input.size()) return std::unexpected(CborError::trailing_bytes(input.size() - decoder.position()));
  return value;
}

}  // namespace dcbor
