// x86.hpp: the x86-64 kernels one by one, for the tables in x86_kernels.cpp and for tests that
// compare them with the portable ones. Each needs instructions beyond the x86-64 baseline, named
// beside it; calling one on a CPU without them is undefined, so only a table that path.cpp hands
// out after its CPU check may point at one. Contracts: poly.hpp.
#pragma once

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak.hpp>

namespace halyx::mldsa::x86 {

// Keccak-f[1600] on one state (BMI1, BMI2).
void keccak_f1600_bmi2(KeccakState& state) noexcept;

// Keccak-f[1600] on the 4 states states[0..3] (AVX2), as poly.hpp's permute_lanes.
void permute_x4_avx2(KeccakState* const* states) noexcept;

// Keccak-f[1600] on the 8 states states[0..7] (AVX-512F, VL), as poly.hpp's permute_lanes.
void permute_x8_avx512(KeccakState* const* states) noexcept;

// Keccak-f[1600] on one state (AVX-512F, VL).
void keccak_f1600_avx512(KeccakState& state) noexcept;

// Rejection sampling as poly.hpp's rejection_sample: 8 candidates at a time (AVX2, BMI2, POPCNT),
// and 16 at a time (AVX-512F, BW, VL, VBMI, BMI2, POPCNT).
std::size_t rejection_sample_avx2(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                  std::size_t len) noexcept;
std::size_t rejection_sample_avx512(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                    std::size_t len) noexcept;

}  // namespace halyx::mldsa::x86

#endif
