// The x86-64 kernel tables. Each entry points at the fastest kernel written for that instruction
// set; path.cpp hands a table out only on a CPU that has every instruction it uses.
#if defined(__x86_64__)

#include "mldsa/poly.hpp"
#include "mldsa/portable.hpp"
#include "mldsa/x86.hpp"

namespace halyx::mldsa {

const Kernels AVX2_KERNELS = {
    x86::keccak_f1600_bmi2, 4, x86::permute_x4_avx2, x86::rejection_sample_avx2, portable::ntt,
    portable::inverse_ntt_montgomery, portable::matrix_row,
};

const Kernels AVX512_KERNELS = {
    x86::keccak_f1600_avx512, 8, x86::permute_x8_avx512, x86::rejection_sample_avx512, portable::ntt,
    portable::inverse_ntt_montgomery, portable::matrix_row,
};

}  // namespace halyx::mldsa

#endif
