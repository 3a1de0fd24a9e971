// dcbor_fuzz.cpp: the strict decoder on arbitrary bytes, and the encoder on arbitrary values.
//
// Decoded input: re-encoding the value must give the input back byte for byte, except where
// numeric reduction turned a single or double float into an integer. The target computes what
// those bytes must be on its own: it walks the accepted input and rewrites exactly the floats that
// hold an integer in the reduced range (a single from -2^64 up to 2^32, a double from -2^64 up to
// 2^64) as that integer's shortest head, copying everything else. Map order survives the rewrite,
// since the decoder judges key order on the reduced keys. The re-encoding must then decode again
// and be its own re-encoding.
//
// Verdict: an independent reader judges the inputs it can judge alone (structure, heads, half
// floats, simple values, ASCII text, key order, nesting, trailing bytes) and leaves single and
// double floats (numeric reduction) and non-ASCII text (UTF-8 and NFC) to the decoder, only
// skipping them. When it finds nothing to object to and skipped nothing, the decoder must accept;
// when it finds a fault, the decoder must refuse, and with that fault's error when nothing skipped
// came before it (the decoder reports the first fault in byte order, a key's order after its value).
//
// Agreement: the validating pass (what the leaf decoder runs) and the value-tree decoder accept the
// same inputs and report the same error; and the NFC check answers as normalising would.
//
// Built value: the same bytes, read as a recipe, build a value of any kind (texts of arbitrary
// bytes, unnormalised or ill-formed; floats from raw bits; maps from arbitrary keys). Whatever the
// encoder makes of it must pass the strict decoder and be its own re-encoding.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <halyx/dcbor/dcbor.hpp>
#include "fuzz_support.hpp"

namespace {

using halyx::dcbor::ByteString;
using halyx::dcbor::ByteView;
using halyx::dcbor::CborValue;
using halyx::fuzz::put_head;
using halyx::fuzz::require;

constexpr double TWO_32 = 4294967296.0;
constexpr double TWO_64 = 18446744073709551616.0;

// Walks the accepted input and writes what its re-encoding must be.
class ExpectedEncoding {
 public:
  explicit ExpectedEncoding(ByteView input) : in_(input) {}

  ByteString run() {
    item(0);
    require(pos_ == in_.size(), "accepted input is longer than its item");
    return std::move(out_);
  }

 private:
  void item(unsigned depth) {
    // The decoder refuses more than 256 levels, so an accepted input cannot take this deeper.
    require(depth <= halyx::dcbor::MAX_NESTING_DEPTH + 1, "accepted input nests deeper than the limit");
    require(pos_ < in_.size(), "accepted input ends inside an item");
    const std::size_t start = pos_;
    const std::uint8_t initial = in_[pos_];
    const auto major = static_cast<std::uint8_t>(initial >> 5);
    const auto info = static_cast<std::uint8_t>(initial & 0x1F);
    require(info < 28, "accepted input has a reserved or indefinite head");
    const std::size_t width = info < 24 ? 0 : std::size_t{1} << (info - 24);
    require(in_.size() - pos_ > width, "accepted input ends inside a head");
    std::uint64_t argument = info;
    if (width > 0) {
      argument = 0;
      for (std::size_t i = 1; i <= width; ++i) argument = argument << 8 | in_[pos_ + i];
    }
    pos_ += 1 + width;

    switch (major) {
      case 2:
      case 3:
        require(argument <= in_.size() - pos_, "accepted input ends inside a string");
        pos_ += static_cast<std::size_t>(argument);
        copy_from(start);
        return;
      case 4:
      case 5: {
        copy_from(start);
        const std::uint64_t items = major == 4 ? argument : 2 * argument;
        for (std::uint64_t i = 0; i < items; ++i) item(depth + 1);
        return;
      }
      case 6:
        copy_from(start);
        item(depth + 1);
        return;
      case 7:
        if (info == 26) {
          reduce_or_copy(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(argument))), TWO_32,
                         start);
          return;
        }
        if (info == 27) {
          reduce_or_copy(std::bit_cast<double>(argument), TWO_64, start);
          return;
        }
        copy_from(start);
        return;
      default:
        copy_from(start);
        return;
    }
  }

  void copy_from(std::size_t start) {
    out_.insert(out_.end(), in_.begin() + static_cast<std::ptrdiff_t>(start),
                in_.begin() + static_cast<std::ptrdiff_t>(pos_));
  }

  // An integral v from -2^64 up to (not including) `upper` is written as an integer.
  void reduce_or_copy(double v, double upper, std::size_t start) {
    if (!std::isfinite(v) || std::trunc(v) != v || v < -TWO_64 || v >= upper) {
      copy_from(start);
    } else if (v >= 0) {
      put_head(out_, 0, static_cast<std::uint64_t>(v));
    } else {
      // -1 - v; -v can be 2^64 itself, which no 64-bit integer holds.
      put_head(out_, 1, v == -TWO_64 ? UINT64_MAX : static_cast<std::uint64_t>(-v) - 1);
    }
  }

  ByteView in_;
  std::size_t pos_ = 0;
  ByteString out_;
};

// The independent reader behind the verdict. It stops at the first fault it finds.
class Reference {
 public:
  explicit Reference(ByteView input) : in_(input) {}

  struct Verdict {
    bool fault = false;                      // the input is certainly not accepted
    bool judged = false;                     // without a fault: nothing was left to the decoder
    std::optional<halyx::dcbor::CborError> first;  // the decoder's error, when known
  };

  Verdict run() {
    item(0);
    if (!faulted_ && pos_ != in_.size()) fault(halyx::dcbor::CborError::trailing_bytes(in_.size() - pos_));
    return Verdict{faulted_, !faulted_ && !skipped_, first_};
  }

 private:
  struct Head {
    std::uint8_t initial;
    std::uint64_t argument;
  };

  void fault(halyx::dcbor::CborError e) {
    faulted_ = true;
    if (!skipped_) first_ = e;
  }
  void fault(halyx::dcbor::CborErrorKind k) { fault(halyx::dcbor::CborError::of(k)); }

  std::optional<Head> head() {
    if (pos_ >= in_.size()) {
      fault(halyx::dcbor::CborErrorKind::Truncated);
      return std::nullopt;
    }
    const std::uint8_t initial = in_[pos_];
    const auto info = static_cast<std::uint8_t>(initial & 0x1F);
    if (info >= 28) {
      fault(halyx::dcbor::CborErrorKind::ReservedHeader);
      return std::nullopt;
    }
    std::size_t width = 0;
    if (info >= 24) width = std::size_t{1} << (info - 24);
    if (in_.size() - pos_ - 1 < width) {
      fault(halyx::dcbor::CborErrorKind::Truncated);
      return std::nullopt;
    }
    std::uint64_t argument = info < 24 ? info : 0;
    for (std::size_t i = 1; i <= width; ++i) argument = argument << 8 | in_[pos_ + i];
    pos_ += 1 + width;
    const bool is_float = initial >= 0xF9 && initial <= 0xFB;
    // A width is shortest when the value needs more than the next narrower one holds.
    const bool shortest = width == 0 || (width == 1 ? argument >= 24 : argument >> (4 * width) != 0);
    if (!is_float && !shortest) {
      fault(halyx::dcbor::CborErrorKind::NonShortestNumber);
      return std::nullopt;
    }
    return Head{initial, argument};
  }

  // Skips `n` content bytes; false (and a fault) when the input has fewer.
  bool content(std::uint64_t n) {
    if (n > in_.size() - pos_) {
      fault(halyx::dcbor::CborErrorKind::Truncated);
      return false;
    }
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  void item(unsigned enclosing) {
    if (faulted_) return;
    const auto h = head();
    if (!h) return;
    const auto major = static_cast<std::uint8_t>(h->initial >> 5);
    if (major >= 4 && major <= 6 && enclosing >= halyx::dcbor::MAX_NESTING_DEPTH) {
      fault(halyx::dcbor::CborErrorKind::NestingTooDeep);
      return;
    }
    switch (major) {
      case 0:
      case 1:
        return;
      case 2:
        content(h->argument);
        return;
      case 3:
        if (!content(h->argument)) return;
        for (std::size_t i = pos_ - static_cast<std::size_t>(h->argument); i < pos_; ++i) {
          if (in_[i] >= 0x80) skipped_ = true;  // UTF-8 and NFC are the decoder's to judge
        }
        return;
      case 4:
        for (std::uint64_t i = 0; i < h->argument && !faulted_; ++i) item(enclosing + 1);
        return;
      case 5:
        map(h->argument, enclosing + 1);
        return;
      case 6:
        item(enclosing + 1);
        return;
      default:
        simple(*h);
        return;
    }
  }

  void map(std::uint64_t count, unsigned enclosing) {
    std::vector<ByteView> keys;  // keys whose bytes are their canonical encoding
    for (std::uint64_t i = 0; i < count && !faulted_; ++i) {
      const std::size_t key_start = pos_;
      const std::uint64_t wide_before = wide_floats_;
      item(enclosing);
      const ByteView key = in_.subspan(key_start, pos_ - key_start);
      const bool key_as_read = wide_floats_ == wide_before;  // a wider float may be reduced
      item(enclosing);
      if (faulted_) return;
      if (!key_as_read) continue;
      // Held encodings ascend, so a key at or below any earlier one is refused.
      const auto at_or_above = [&](ByteView k) { return !std::ranges::lexicographical_compare(k, key); };
      if (std::ranges::any_of(keys, [&](ByteView k) { return std::ranges::equal(k, key); })) {
        fault(halyx::dcbor::CborErrorKind::DuplicateKey);
      } else if (std::ranges::any_of(keys, at_or_above)) {
        // Were an unjudged key among the earlier ones, it might hold this encoding and make it a
        // duplicate; but a key with a wider float is skipped, so the kind is then not claimed.
        fault(halyx::dcbor::CborErrorKind::KeyOrder);
      }
      keys.push_back(key);
    }
  }

  void simple(const Head& h) {
    switch (h.initial) {
      case 0xF4:
      case 0xF5:
      case 0xF6:
        return;
      case 0xF9: {
        // A half is refused when integral (both zeros included) or a NaN other than 7e00.
        const auto bits = static_cast<std::uint16_t>(h.argument);
        const unsigned exponent = (bits >> 10) & 0x1F;
        const unsigned fraction = bits & 0x3FF;
        bool integral = false;
        if (exponent == 0) {
          integral = fraction == 0;  // subnormals are below 1
        } else if (exponent < 31) {
          // The value is (1024 + fraction) * 2^(exponent - 25): integral when the shift leaves no fraction bits.
          const int shift = 25 - static_cast<int>(exponent);
          integral = shift <= 0 || ((1024u + fraction) & ((1u << shift) - 1)) == 0;
        }
        const bool nan = exponent == 31 && fraction != 0;
        if (integral || (nan && bits != 0x7E00)) fault(halyx::dcbor::CborErrorKind::NonShortestNumber);
        return;
      }
      case 0xFA:
      case 0xFB:
        ++wide_floats_;
        skipped_ = true;  // numeric reduction and the shorter-form rules are the decoder's to judge
        return;
      default:
        fault(halyx::dcbor::CborErrorKind::BadSimpleValue);
        return;
    }
  }

  ByteView in_;
  std::size_t pos_ = 0;
  bool faulted_ = false;
  bool skipped_ = false;
  std::uint64_t wide_floats_ = 0;
  std::optional<halyx::dcbor::CborError> first_;
};

void check_verdict(ByteView input, const std::expected<CborValue, halyx::dcbor::CborError>& got) {
  const Reference::Verdict verdict = Reference(input).run();
  if (verdict.fault) {
    require(!got.has_value(), "accepted an input the reference refuses");
    if (verdict.first) require(got.error() == *verdict.first, "refused with another error than the reference");
  } else if (verdict.judged) {
    require(got.has_value(), "refused an input the reference accepts");
  }
}

void check_decoded(ByteView input) {
  auto value = halyx::dcbor::decode_dcbor(input);
  // The validating pass and the value tree must agree on every input, down to the error.
  auto validated = halyx::dcbor::validate_dcbor(input);
  require(validated.has_value() == value.has_value(), "the validating pass and the decoder disagree on acceptance");
  require(validated || validated.error() == value.error(), "the validating pass and the decoder report different errors");
  check_verdict(input, value);
  if (!value) {
    const halyx::dcbor::CborError& e = value.error();
    if (e.kind == halyx::dcbor::CborErrorKind::TrailingBytes) {
      require(e.extra_bytes > 0 && e.extra_bytes < input.size(), "TrailingBytes count out of range");
    }
    require(!halyx::dcbor::message(e).empty(), "empty CBOR error message");
    return;
  }
  const ByteString again = halyx::dcbor::encode_dcbor(*value);
  require(again == ExpectedEncoding(input).run(), "re-encoding differs from the input beyond numeric reduction");
  auto redecoded = halyx::dcbor::decode_dcbor(again);
  require(redecoded.has_value(), "re-encoding does not decode");
  require(halyx::dcbor::encode_dcbor(*redecoded) == again, "re-encoding is not a fixed point");
}

// A double drawn to reach the edges of the float widths and of the integer ranges as well as
// arbitrary bit patterns.
double consume_number(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return std::bit_cast<double>(fdp.ConsumeIntegral<std::uint64_t>());
    case 1:
      return static_cast<double>(std::bit_cast<float>(fdp.ConsumeIntegral<std::uint32_t>()));
    case 2: {
      const double magnitude = std::ldexp(static_cast<double>(fdp.ConsumeIntegral<std::uint16_t>()),
                                          fdp.ConsumeIntegralInRange<int>(-40, 70));
      return fdp.ConsumeBool() ? -magnitude : magnitude;
    }
    default:
      return static_cast<double>(fdp.ConsumeIntegral<std::int64_t>());
  }
}

constexpr unsigned MAX_BUILD_DEPTH = 8;
constexpr std::size_t MAX_CHILDREN = 5;
// Long enough for a run of more than 32 two-byte combining marks, which the normaliser sorts differently.
constexpr std::size_t MAX_TEXT = 160;

CborValue build(FuzzedDataProvider& fdp, unsigned depth) {
  const int last_kind = depth < MAX_BUILD_DEPTH ? 9 : 6;
  switch (fdp.ConsumeIntegralInRange<int>(0, last_kind)) {
    case 0:
      return CborValue::unsigned_int(fdp.ConsumeIntegral<std::uint64_t>());
    case 1:
      return CborValue::negative_int(fdp.ConsumeIntegral<std::uint64_t>());
    case 2:
      return CborValue::bytes(fdp.ConsumeBytes<std::uint8_t>(fdp.ConsumeIntegralInRange<std::size_t>(0, 64)));
    case 3:
      return CborValue::text(fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<std::size_t>(0, MAX_TEXT)));
    case 4:
      return CborValue::boolean(fdp.ConsumeBool());
    case 5:
      return CborValue::null();
    case 6:
      return CborValue::number(consume_number(fdp));
    case 7: {
      std::vector<CborValue> items;
      const auto n = fdp.ConsumeIntegralInRange<std::size_t>(0, MAX_CHILDREN);
      for (std::size_t i = 0; i < n; ++i) items.push_back(build(fdp, depth + 1));
      return CborValue::array(std::move(items));
    }
    case 8: {
      halyx::dcbor::CborMap map;
      const auto n = fdp.ConsumeIntegralInRange<std::size_t>(0, MAX_CHILDREN);
      for (std::size_t i = 0; i < n; ++i) {
        CborValue key = build(fdp, depth + 1);
        map.insert(std::move(key), build(fdp, depth + 1));
      }
      return CborValue::map(std::move(map));
    }
    default: {
      const auto tag = fdp.ConsumeIntegral<std::uint64_t>();
      return CborValue::tagged(tag, build(fdp, depth + 1));
    }
  }
}

void check_built(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const CborValue value = build(fdp, 0);
  const ByteString bytes = halyx::dcbor::encode_dcbor(value);
  auto decoded = halyx::dcbor::decode_dcbor(bytes);
  require(decoded.has_value(), "the encoder's output does not decode");
  require(halyx::dcbor::encode_dcbor(*decoded) == bytes, "the encoder's output is not its own re-encoding");
}

}  // namespace

// The NFC check of a text answers as normalising and comparing would: it takes a shortcut that
// holds only for text the quick check could not settle, so it is judged against the long way.
void check_nfc(ByteView input) {
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  if (halyx::dcbor::find_utf8_fault(text)) return;
  require(halyx::dcbor::is_nfc(text) == (halyx::dcbor::to_nfc(text) == text), "is_nfc disagrees with normalising");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_decoded(ByteView(data, size));
  check_built(data, size);
  check_nfc(ByteView(data, size));
  return 0;
}
