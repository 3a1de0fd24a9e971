// The aarch64 kernel tables.
#if defined(__aarch64__)

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::aarch64 {

// One state alone (the hashes over a message) keeps the scalar rounds: aarch64's logical
// instructions rotate one operand for free, which two NEON instructions per rotation cannot beat
// with one lane idle.
const Kernels NEON_KERNELS = {
    .permute_one = keccak_f1600,
    .keccak_lanes = 2,
    .permute_lanes = permute_x2_neon,
    .rejection_sample = rejection_sample_neon,
    .ntt = ntt_neon,
    .inverse_ntt_montgomery = inverse_ntt_montgomery_neon,
    .matrix_row = matrix_row_neon,
    .unpack_z = unpack_z_neon,
    .unpack_t1_shifted = unpack_t1_shifted_neon,
    .encode_w1 = encode_w1_neon,
};

// XAR and BCAX do a rotation and chi's three operations in one instruction each, so even a
// lone state is quicker in a vector register, its copy in the other lane ignored.
const Kernels NEON_SHA3_KERNELS = {
    .permute_one = keccak_f1600_sha3,
    .keccak_lanes = 2,
    .permute_lanes = permute_x2_sha3,
    .rejection_sample = rejection_sample_neon,
    .ntt = ntt_neon,
    .inverse_ntt_montgomery = inverse_ntt_montgomery_neon,
    .matrix_row = matrix_row_neon,
    .unpack_z = unpack_z_neon,
    .unpack_t1_shifted = unpack_t1_shifted_neon,
    .encode_w1 = encode_w1_neon,
};

}  // namespace halyx::mldsa::aarch64

#endif
