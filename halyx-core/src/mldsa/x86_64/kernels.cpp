// The x86-64 kernel tables. Each entry points at the fastest kernel written for that instruction
// set; path.cpp hands a table out only on a CPU that has every feature of its path.
#if defined(__x86_64__)

#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

namespace halyx::mldsa::x86_64 {

namespace {

constexpr Kernels avx2_kernels(std::size_t keccak_lanes, void (*permute_lanes)(KeccakState* const*) noexcept) noexcept {
  return {
      .permute_one = keccak_f1600_bmi2,
      .keccak_lanes = keccak_lanes,
      .permute_lanes = permute_lanes,
      .rejection_sample = rejection_sample_avx2,
      .ntt = ntt_avx2,
      .inverse_ntt_montgomery = inverse_ntt_montgomery_avx2,
      .matrix_row = matrix_row_avx2,
      .unpack_z = unpack_z_avx2,
      .unpack_t1_shifted = unpack_t1_shifted_avx2,
      .encode_w1 = encode_w1_avx2,
  };
}

}  // namespace

constinit const Kernels AVX2_KERNELS = avx2_kernels(4, permute_x4_avx2);

// On AMD's Zen 5 (family 1Ah) the four-state permutation leaves the integer units idle, and a fifth
// state in general registers beside it cost nothing measurable: a batch of five took 388 ns against
// 383 for four, which took a verification's ExpandA from 17.5 to 15.1 us and a whole call from about
// 26.7 to 24.6 us. On a core whose integer and vector instructions share fewer ports or a narrower
// front end the fifth state would be paid for; only the family it was measured on gets it (path.cpp).
constinit const Kernels AVX2_FIVE_LANE_KERNELS = avx2_kernels(5, permute_x5_avx2);

// The transforms and matrix_row take sixteen coefficients to a register. On a CPU with full-width
// 512-bit units (Sapphire Rapids) the transforms take about 165 ns each against 320 and 280 ns on
// 256-bit registers, and matrix_row took about 0.3 us off a prepare() of 16.5 us. They have not
// been timed on Zen 4, which splits each 512-bit operation in two. The unpacking and packing stay
// on 256-bit registers: an unpack_z gathering 16 coefficients with vpermb took 20 ns a row against
// 22 on Zen 4.
const Kernels AVX512_KERNELS = {
    .permute_one = keccak_f1600_avx512,
    .keccak_lanes = 8,
    .permute_lanes = permute_x8_avx512,
    .rejection_sample = rejection_sample_avx512,
    .ntt = ntt_avx512,
    .inverse_ntt_montgomery = inverse_ntt_montgomery_avx512,
    .matrix_row = matrix_row_avx512,
    .unpack_z = unpack_z_avx2,
    .unpack_t1_shifted = unpack_t1_shifted_avx2,
    .encode_w1 = encode_w1_avx2,
};

}  // namespace halyx::mldsa::x86_64

#endif
