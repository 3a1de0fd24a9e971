// numeric.cpp: float widths and the canonical number form.
#include <halyx/dcbor/numeric.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace halyx::dcbor {
namespace {

// The ranges of the integers the encoder writes in place of an integral float: any 64-bit
// argument, except that a single stays a float from 2^32 up. They are the integer's ranges, not the
// decoder's (reader.cpp), which refuses floats whose value lies within a signed range.
constexpr double TWO_64 = 18446744073709551616.0;  // 2^64
constexpr double TWO_32 = 4294967296.0;            // 2^32
constexpr double HALF_MAX = 65504.0;
constexpr double SINGLE_MAX = static_cast<double>(std::numeric_limits<float>::max());

// Whether a finite, non-zero v is a multiple of the spacing of a binary format with
// `precision` significand bits and smallest normal exponent `min_exponent`, and not above
// `max`. Scaling by a power of two is exact, so the test itself never rounds.
bool fits_format(double v, int precision, int min_exponent, double max) noexcept {
  if (std::isnan(v)) return false;
  if (std::isinf(v) || v == 0.0) return true;
  const double a = std::fabs(v);
  if (a > max) return false;
  int e = 0;
  std::frexp(a, &e);  // a is in [2^(e-1), 2^e)
  const int quantum = std::max(e - 1, min_exponent) - (precision - 1);
  const double scaled = std::ldexp(a, -quantum);
  return std::trunc(scaled) == scaled;
}

// Precondition: fits_half(v).
std::uint16_t to_half_bits(double v) noexcept {
  const std::uint16_t sign = std::signbit(v) ? 0x8000 : 0;
  const double a = std::fabs(v);
  if (std::isinf(a)) return static_cast<std::uint16_t>(sign | 0x7c00);
  if (a < 0x1p-14) return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(std::ldexp(a, 24)));
  int e = 0;
  std::frexp(a, &e);
  const int exponent = e - 1;
  const auto fraction = static_cast<unsigned>(std::ldexp(a, 10 - exponent)) - 1024u;
  return static_cast<std::uint16_t>(sign | static_cast<unsigned>(exponent + 15) << 10 | fraction);
}

// Precondition: v integral and in [-2^64, 2^64).
NumberForm integer_form(double v) noexcept {
  if (v >= 0) return {NumberForm::Kind::UnsignedInt, static_cast<std::uint64_t>(v)};
  // -1 - v as an unsigned 64-bit value; -v itself can be 2^64, which does not convert.
  const double m = -v;
  const std::uint64_t n = m == TWO_64 ? std::numeric_limits<std::uint64_t>::max()
                                      : static_cast<std::uint64_t>(m) - 1;
  return {NumberForm::Kind::NegativeInt, n};
}

}  // namespace

bool is_integral(double v) noexcept { return std::isfinite(v) && std::trunc(v) == v; }

bool fits_half(double v) noexcept { return fits_format(v, 11, -14, HALF_MAX); }

bool fits_single(double v) noexcept { return fits_format(v, 24, -126, SINGLE_MAX); }

double half_to_double(std::uint16_t h) noexcept {
  const unsigned exponent = (h >> 10) & 0x1fu;
  const unsigned fraction = h & 0x3ffu;
  double v;
  if (exponent == 0) {
    v = std::ldexp(fraction, -24);
  } else if (exponent == 31) {
    v = fraction == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else {
    v = std::ldexp(fraction + 1024, static_cast<int>(exponent) - 25);
  }
  return (h & 0x8000) ? -v : v;
}

NumberForm canonical_number_form(double v) noexcept {
  if (std::isnan(v)) return {NumberForm::Kind::Half, 0x7e00};
  if (fits_single(v)) {
    if (fits_half(v)) {
      if (is_integral(v)) return integer_form(v);
      return {NumberForm::Kind::Half, to_half_bits(v)};
    }
    // An integral single of 2^32 or more stays a float, while a negative one down to
    // -2^64 becomes an integer. The asymmetry is part of the format: encoders that agree on every
    // other rule must agree on this one too, or the same record would hash two ways.
    if (is_integral(v) && v >= -TWO_64 && v < TWO_32) return integer_form(v);
    return {NumberForm::Kind::Single, std::bit_cast<std::uint32_t>(static_cast<float>(v))};
  }
  if (is_integral(v) && v >= -TWO_64 && v < TWO_64) return integer_form(v);
  return {NumberForm::Kind::Double, std::bit_cast<std::uint64_t>(v)};
}

}  // namespace halyx::dcbor
