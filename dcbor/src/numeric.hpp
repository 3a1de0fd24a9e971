// numeric.hpp: IEEE 754 widths and the canonical form of a number.
#pragma once

#include <cstdint>

namespace halyx::dcbor {

// The shortest form the canonical encoding gives a number: an integer where the value is
// integral and in range for the narrowest float width that holds it exactly, else the
// narrowest float. `bits` is the integer argument (n for NegativeInt's -1 - n) or the float's
// bit pattern at that width.
struct NumberForm {
  enum class Kind : std::uint8_t { UnsignedInt, NegativeInt, Half, Single, Double } kind;
  std::uint64_t bits;
};

// Returns the canonical form of v. Every NaN becomes the half 0x7e00.
[[nodiscard]] NumberForm canonical_number_form(double v) noexcept;

// Returns the binary16 value with bit pattern h, widened exactly.
[[nodiscard]] double half_to_double(std::uint16_t h) noexcept;

// Whether v is exactly a binary16 / binary32 value (infinities and both zeros included,
// NaN not).
[[nodiscard]] bool fits_half(double v) noexcept;
[[nodiscard]] bool fits_single(double v) noexcept;

// Whether v is finite and has no fractional part.
[[nodiscard]] bool is_integral(double v) noexcept;

}  // namespace halyx::dcbor
