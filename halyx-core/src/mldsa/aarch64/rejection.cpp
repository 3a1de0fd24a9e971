// ExpandA's rejection sampling with NEON, sixteen candidates at a time: VLD3 splits 48 bytes into
// each candidate's first, second and third bytes, which widen into four registers of four
// candidates. All sixteen are below q about 98 times in 100 (each is refused with probability
// 1 - q / 2^23, about 1 in 1000), and are then stored as they are; otherwise each register is
// compacted with a table lookup chosen by which of its four are kept.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/params.hpp>
#include <halyx/mldsa/portable.hpp>

namespace halyx::mldsa::aarch64 {
namespace {

// For each set m of kept lanes (bit j: lane j), the byte indices that move those lanes to the
// front, in order; the lanes after them are left as scratch.
struct Compaction {
  std::array<std::array<std::uint8_t, 16>, 16> indices;
  std::array<std::uint8_t, 16> kept;
};

constexpr Compaction make_compaction() {
  Compaction c{};
  for (unsigned m = 0; m < 16; ++m) {
    unsigned n = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      if ((m >> lane & 1) == 0) continue;
      for (unsigned b = 0; b < 4; ++b) c.indices[m][4 * n + b] = static_cast<std::uint8_t>(4 * lane + b);
      ++n;
    }
    for (unsigned b = 4 * n; b < 16; ++b) c.indices[m][b] = 0xFF;
    c.kept[m] = static_cast<std::uint8_t>(n);
  }
  return c;
}
constexpr Compaction COMPACTION = make_compaction();

// Keeps the lanes of v below q, stored from out[filled] on; returns the new count. Writes the four
// lanes at out[filled] whatever it keeps.
[[gnu::always_inline]] inline std::size_t keep_below_q(std::uint32_t* out, std::size_t filled, uint32x4_t v,
                                                       uint32x4_t keep) noexcept {
  const uint32x4_t lane_bits = {1, 2, 4, 8};
  const std::uint32_t m = vaddvq_u32(vandq_u32(keep, lane_bits));
  vst1q_u32(out + filled, vreinterpretq_u32_u8(vqtbl1q_u8(vreinterpretq_u8_u32(v), vld1q_u8(COMPACTION.indices[m].data()))));
  return filled + COMPACTION.kept[m];
}

// Stores the Count registers of candidates at v from out[filled] on, keeping those below q;
// returns the new count. Needs room for 4 Count coefficients. Kept apart and cold so that the
// compiler does not work out the four lookups on the path where every candidate is kept.
template <std::size_t Count>
[[gnu::noinline, gnu::cold]] std::size_t compact(std::uint32_t* out, std::size_t filled, const uint32x4_t* v) noexcept {
  const uint32x4_t q = vdupq_n_u32(static_cast<std::uint32_t>(Q));
  for (std::size_t g = 0; g < Count; ++g) filled = keep_below_q(out, filled, v[g], vcltq_u32(v[g], q));
  return filled;
}

template <std::size_t Count>
[[gnu::always_inline]] inline std::size_t store_kept(std::uint32_t* out, std::size_t filled, const uint32x4_t* v) noexcept {
  const uint32x4_t q = vdupq_n_u32(static_cast<std::uint32_t>(Q));
  uint32x4_t all = vcltq_u32(v[0], q);
#pragma GCC unroll 4
  for (std::size_t g = 1; g < Count; ++g) all = vandq_u32(all, vcltq_u32(v[g], q));
  if (vminvq_u32(all) == 0) [[unlikely]] return compact<Count>(out, filled, v);
#pragma GCC unroll 4
  for (std::size_t g = 0; g < Count; ++g) vst1q_u32(out + filled + 4 * g, v[g]);
  return filled + 4 * Count;
}

}  // namespace

// Each pass starts with room for all its candidates, so no store reaches past out[255]: a
// compacting store writes four lanes at out[filled], filled at most four short of the pass's room.
// A SHAKE128 block's 56 candidates go as 16, 16, 16 and 8; what is left when fewer than 8 slots
// remain goes to the portable kernel, one by one.
std::size_t rejection_sample_neon(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                  std::size_t len) noexcept {
  const uint8x16_t top = vdupq_n_u8(0x7F);
  std::uint32_t* to = reinterpret_cast<std::uint32_t*>(out);
  std::size_t i = 0;
  for (; filled + 16 <= N && i + 48 <= len; i += 48) {
    const uint8x16x3_t b = vld3q_u8(bytes + i);
    const uint8x16_t high = vandq_u8(b.val[2], top);
    const uint16x8_t low_first = vreinterpretq_u16_u8(vzip1q_u8(b.val[0], b.val[1]));
    const uint16x8_t low_second = vreinterpretq_u16_u8(vzip2q_u8(b.val[0], b.val[1]));
    const uint16x8_t high_first = vmovl_u8(vget_low_u8(high)), high_second = vmovl_high_u8(high);
    const uint32x4_t v[4] = {
        vreinterpretq_u32_u16(vzip1q_u16(low_first, high_first)),
        vreinterpretq_u32_u16(vzip2q_u16(low_first, high_first)),
        vreinterpretq_u32_u16(vzip1q_u16(low_second, high_second)),
        vreinterpretq_u32_u16(vzip2q_u16(low_second, high_second)),
    };
    filled = store_kept<4>(to, filled, v);
  }
  for (; filled + 8 <= N && i + 24 <= len; i += 24) {
    const uint8x8x3_t b = vld3_u8(bytes + i);
    const uint16x8_t low = vreinterpretq_u16_u8(vcombine_u8(vzip1_u8(b.val[0], b.val[1]), vzip2_u8(b.val[0], b.val[1])));
    const uint16x8_t high = vmovl_u8(vand_u8(b.val[2], vget_low_u8(top)));
    const uint32x4_t v[2] = {vreinterpretq_u32_u16(vzip1q_u16(low, high)), vreinterpretq_u32_u16(vzip2q_u16(low, high))};
    filled = store_kept<2>(to, filled, v);
  }
  if (filled == N || i + 3 > len) return filled;
  return portable::rejection_sample(out, filled, bytes + i, len - i);
}

}  // namespace halyx::mldsa::aarch64

#endif
