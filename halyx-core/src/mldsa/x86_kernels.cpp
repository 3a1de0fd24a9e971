// The x86-64 kernel tables. Each entry points at the fastest kernel written for that instruction
// set; path.cpp hands a table out only on a CPU that has every instruction it uses.
#if defined(__x86_64__)

#include <halyx/mldsa/poly.hpp>
#include <halyx/mldsa/x86.hpp>
#include <halyx/mldsa/x86_arith.hpp>

namespace halyx::mldsa {

const Kernels AVX2_KERNELS = {
    x86::keccak_f1600_bmi2, 4, x86::permute_x4_avx2, x86::rejection_sample_avx2, avx2::ntt,
    avx2::inverse_ntt_montgomery, avx2::matrix_row,
    avx2::unpack_z, avx2::unpack_t1_shifted, avx2::encode_w1,
};

// The polynomial arithmetic stays on 256-bit registers: Zen 4 splits each 512-bit operation in two,
// and a 512-bit matrix_row measured only about 15 ns (of 125) faster, well under 1 % of a prepare().
// So do the unpacking and packing around it: an unpack_z gathering 16 coefficients with vpermb took
// 20 ns a row against 22.
const Kernels AVX512_KERNELS = {
    x86::keccak_f1600_avx512, 8, x86::permute_x8_avx512, x86::rejection_sample_avx512, avx2::ntt,
    avx2::inverse_ntt_montgomery, avx2::matrix_row,
    avx2::unpack_z, avx2::unpack_t1_shifted, avx2::encode_w1,
};

}  // namespace halyx::mldsa

#endif
