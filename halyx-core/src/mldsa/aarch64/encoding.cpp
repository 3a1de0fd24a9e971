// Unpacking z and t1 and packing w1 with NEON. The bit fields of a row are gathered into 32-bit
// lanes with one table lookup (TBL) from a 16-byte window, then each lane is shifted by its own
// count and masked. A window never reaches past the row: the last one is loaded ending at the
// row's last byte, and its table indices moved up by as much.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/encoding.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::aarch64 {
namespace {

// Indices of a 16-byte window, each 32-bit lane naming the bytes that go in its low bytes; 0xFF
// gives a zero byte. `shift` moves every index but the 0xFF ones up, for a window loaded that many
// bytes early.
constexpr std::array<std::uint8_t, 16> shifted(std::array<std::uint8_t, 16> indices, std::uint8_t shift) {
  for (auto& i : indices) i = i == 0xFF ? i : static_cast<std::uint8_t>(i + shift);
  return indices;
}

// z: two 20-bit values in every five bytes; four coefficients take ten bytes. Coefficient 2k
// starts at bit 0 of byte 5k, coefficient 2k + 1 at bit 4 of byte 5k + 2.
constexpr std::array<std::uint8_t, 16> Z_INDICES = {0, 1, 2, 0xFF, 2, 3, 4, 0xFF, 5, 6, 7, 0xFF, 7, 8, 9, 0xFF};
constexpr std::size_t Z_LAST_WINDOW = Z_POLY_BYTES - 16;
constexpr std::uint8_t Z_LAST_SHIFT = Z_POLY_BYTES - 10 - Z_LAST_WINDOW;  // 6
constexpr std::array<std::uint8_t, 16> Z_LAST_INDICES = shifted(Z_INDICES, Z_LAST_SHIFT);

// t1: four 10-bit values in every five bytes; coefficient j of a group starts at bit 2j of byte j.
// One window gives eight coefficients, from two groups.
constexpr std::array<std::uint8_t, 16> T1_LOW_INDICES = {0, 1, 0xFF, 0xFF, 1, 2, 0xFF, 0xFF,
                                                         2, 3, 0xFF, 0xFF, 3, 4, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 16> T1_HIGH_INDICES = shifted(T1_LOW_INDICES, 5);
constexpr std::size_t T1_LAST_WINDOW = T1_POLY_BYTES - 16;
constexpr std::uint8_t T1_LAST_SHIFT = T1_POLY_BYTES - 10 - T1_LAST_WINDOW;  // 6

}  // namespace

// As the portable kernel: with v the stored value, |z| < gamma1 - beta exactly when v - beta - 1,
// taken unsigned, is below 2 gamma1 - 2 beta - 1, and the largest such difference decides the row.
bool unpack_z_neon(Poly& p, const std::uint8_t* bytes) noexcept {
  const uint8x16_t indices = vld1q_u8(Z_INDICES.data()), last_indices = vld1q_u8(Z_LAST_INDICES.data());
  const int32x4_t shifts = {0, -4, 0, -4};  // USHL shifts right by a negative count
  const uint32x4_t mask = vdupq_n_u32((1u << 20) - 1);
  const uint32x4_t low = vdupq_n_u32(static_cast<std::uint32_t>(BETA + 1));
  const int32x4_t gamma1 = vdupq_n_s32(GAMMA1);
  uint32x4_t largest = vdupq_n_u32(0);
  for (std::size_t i = 0; i < N / 4; ++i) {
    const bool last = i == N / 4 - 1;
    const uint8x16_t window = vld1q_u8(bytes + (last ? Z_LAST_WINDOW : 10 * i));
    const uint32x4_t gathered = vreinterpretq_u32_u8(vqtbl1q_u8(window, last ? last_indices : indices));
    const uint32x4_t v = vandq_u32(vshlq_u32(gathered, shifts), mask);
    vst1q_s32(p.coeffs.data() + 4 * i, vsubq_s32(gamma1, vreinterpretq_s32_u32(v)));
    largest = vmaxq_u32(largest, vsubq_u32(v, low));
  }
  return vmaxvq_u32(largest) < static_cast<std::uint32_t>(2 * GAMMA1 - 2 * BETA - 1);
}

// Each 16-bit field moved so that its ten bits land at bits 13..22 (t1 2^d), then masked.
void unpack_t1_shifted_neon(Poly& p, const std::uint8_t* bytes) noexcept {
  const uint8x16_t low = vld1q_u8(T1_LOW_INDICES.data()), high = vld1q_u8(T1_HIGH_INDICES.data());
  const uint8x16_t last_low = vld1q_u8(shifted(T1_LOW_INDICES, T1_LAST_SHIFT).data());
  const uint8x16_t last_high = vld1q_u8(shifted(T1_HIGH_INDICES, T1_LAST_SHIFT).data());
  constexpr int d = D;
  const int32x4_t shifts = {d, d - 2, d - 4, d - 6};
  const uint32x4_t mask = vdupq_n_u32(1023u << D);
  for (std::size_t i = 0; i < N / 8; ++i) {
    const bool last = i == N / 8 - 1;
    const uint8x16_t window = vld1q_u8(bytes + (last ? T1_LAST_WINDOW : 10 * i));
    const uint32x4_t first = vreinterpretq_u32_u8(vqtbl1q_u8(window, last ? last_low : low));
    const uint32x4_t second = vreinterpretq_u32_u8(vqtbl1q_u8(window, last ? last_high : high));
    vst1q_u32(reinterpret_cast<std::uint32_t*>(p.coeffs.data() + 8 * i), vandq_u32(vshlq_u32(first, shifts), mask));
    vst1q_u32(reinterpret_cast<std::uint32_t*>(p.coeffs.data() + 8 * i + 4), vandq_u32(vshlq_u32(second, shifts), mask));
  }
}

namespace {

// The high bits r1 of four coefficients in (-q, q) without a hint, as the portable kernel takes
// them: r = w mod q in [0, q), x = floor((r + gamma2 - 1) / 512) + 1, r1 = floor(1025 x / 2^20),
// its top value 16 left for the caller's mask to wrap to 0.
[[gnu::always_inline]] inline uint32x4_t high_bits(int32x4_t w) noexcept {
  const int32x4_t r = vaddq_s32(w, vandq_s32(vshrq_n_s32(w, 31), vdupq_n_s32(Q)));
  const uint32x4_t x = vshrq_n_u32(vaddq_u32(vreinterpretq_u32_s32(r), vdupq_n_u32(GAMMA2 + 511)), 9);
  return vshrq_n_u32(vmulq_n_u32(x, 1025), 20);
}

}  // namespace

void encode_w1_neon(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept {
  check_bound(w, Q);
  alignas(16) std::array<std::uint8_t, N> w1;
  const std::int32_t* in = w.coeffs.data();
  const uint8x16_t nibble = vdupq_n_u8(15);
  for (std::size_t i = 0; i < N; i += 16) {
    const uint16x8_t first = vmovn_high_u32(vmovn_u32(high_bits(vld1q_s32(in + i))), high_bits(vld1q_s32(in + i + 4)));
    const uint16x8_t second =
        vmovn_high_u32(vmovn_u32(high_bits(vld1q_s32(in + i + 8))), high_bits(vld1q_s32(in + i + 12)));
    vst1q_u8(w1.data() + i, vandq_u8(vmovn_high_u16(vmovn_u16(first), second), nibble));
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::int32_t c = in[positions[k]];
    w1[positions[k]] = static_cast<std::uint8_t>(use_hint(true, c + ((c >> 31) & Q)));
  }
  // Coefficient 2i in the low half of byte i: the even bytes, with the odd ones shifted in above.
  for (std::size_t i = 0; i < N; i += 32) {
    const uint8x16x2_t pairs = vld2q_u8(w1.data() + i);
    vst1q_u8(out + i / 2, vsliq_n_u8(pairs.val[0], pairs.val[1], 4));
  }
}

}  // namespace halyx::mldsa::aarch64

#endif
