#include "mldsa/encoding.hpp"

namespace halyx::mldsa {

void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept {
  // Four 10-bit values in every five bytes.
  for (std::size_t i = 0; i < N / 4; ++i) {
    const std::uint8_t* b = bytes + 5 * i;
    const std::uint32_t v[4] = {
        b[0] | (std::uint32_t{b[1]} & 0x03) << 8,
        b[1] >> 2 | (std::uint32_t{b[2]} & 0x0F) << 6,
        b[2] >> 4 | (std::uint32_t{b[3]} & 0x3F) << 4,
        b[3] >> 6 | std::uint32_t{b[4]} << 2,
    };
    for (std::size_t j = 0; j < 4; ++j) p.coeffs[4 * i + j] = static_cast<std::int32_t>(v[j] << D);
  }
}

bool unpack_z_within_bound(Poly& p, const std::uint8_t* bytes) noexcept {
  // Two 20-bit values in every five bytes.
  std::int32_t largest = 0;
  for (std::size_t i = 0; i < N / 2; ++i) {
    const std::uint8_t* b = bytes + 5 * i;
    const std::uint32_t v[2] = {
        b[0] | std::uint32_t{b[1]} << 8 | (std::uint32_t{b[2]} & 0x0F) << 16,
        b[2] >> 4 | std::uint32_t{b[3]} << 4 | std::uint32_t{b[4]} << 12,
    };
    for (std::size_t j = 0; j < 2; ++j) {
      const std::int32_t z = GAMMA1 - static_cast<std::int32_t>(v[j]);
      p.coeffs[2 * i + j] = z;
      // The norm is the standard's, on z's representative in [0, q): |z| < q / 2, so it is |z|.
      const std::int32_t norm = centred_norm(z < 0 ? z + Q : z);
      largest = norm > largest ? norm : largest;
    }
  }
  return largest < GAMMA1 - BETA;
}

bool decode_hint(Hint& hint, const std::uint8_t* bytes) noexcept {
  std::size_t used = 0;
  for (std::size_t row = 0; row < K; ++row) {
    const std::size_t end = bytes[OMEGA + row];
    if (end < used || end > OMEGA) return false;
    for (std::size_t i = used; i < end; ++i) {
      if (i > used && bytes[i - 1] >= bytes[i]) return false;
      hint.positions[i] = bytes[i];
    }
    used = end;
    hint.row_end[row] = static_cast<std::uint8_t>(end);
  }
  for (std::size_t i = used; i < OMEGA; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

void encode_w1_row(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept {
  std::array<std::uint8_t, N> w1;
  for (std::size_t i = 0; i < N; ++i) w1[i] = static_cast<std::uint8_t>(use_hint(false, w.coeffs[i]));
  for (std::size_t k = 0; k < count; ++k) {
    w1[positions[k]] = static_cast<std::uint8_t>(use_hint(true, w.coeffs[positions[k]]));
  }
  for (std::size_t i = 0; i < N / 2; ++i) out[i] = static_cast<std::uint8_t>(w1[2 * i] | w1[2 * i + 1] << 4);
}

}  // namespace halyx::mldsa
