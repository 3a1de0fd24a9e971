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
// Built value: the same bytes, read as a recipe, build a value of any kind (texts of arbitrary
// bytes, unnormalised or ill-formed; floats from raw bits; maps from arbitrary keys). Whatever the
// encoder makes of it must pass the strict decoder and be its own re-encoding.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dcbor.hpp"
#include "fuzz_support.hpp"

namespace {

using dcbor::ByteString;
using dcbor::ByteView;
using dcbor::CborValue;
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
    require(depth <= dcbor::MAX_NESTING_DEPTH + 1, "accepted input nests deeper than the limit");
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

void check_decoded(ByteView input) {
  auto value = dcbor::decode_dcbor(input);
  if (!value) {
    const dcbor::CborError& e = value.error();
    require(e.kind != dcbor::CborErrorKind::MissingKey, "the decoder reported a lookup error");
    if (e.kind == dcbor::CborErrorKind::TrailingBytes) {
      require(e.extra_bytes > 0 && e.extra_bytes < input.size(), "TrailingBytes count out of range");
    }
    require(!dcbor::message(e).empty(), "empty CBOR error message");
    return;
  }
  const ByteString again = dcbor::encode_dcbor(*value);
  require(again == ExpectedEncoding(input).run(), "re-encoding differs from the input beyond numeric reduction");
  auto redecoded = dcbor::decode_dcbor(again);
  require(redecoded.has_value(), "re-encoding does not decode");
  require(dcbor::encode_dcbor(*redecoded) == again, "re-encoding is not a fixed point");
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
      return CborValue::text(fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<std::size_t>(0, 48)));
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
      dcbor::CborMap map;
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
  const ByteString bytes = dcbor::encode_dcbor(value);
  auto decoded = dcbor::decode_dcbor(bytes);
  require(decoded.has_value(), "the encoder's output does not decode");
  require(dcbor::encode_dcbor(*decoded) == bytes, "the encoder's output is not its own re-encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_decoded(ByteView(data, size));
  check_built(data, size);
  return 0;
}
