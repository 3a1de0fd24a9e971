// kernels.hpp: the x86-64 kernels one by one, for the tables in kernels.cpp and for tests that
// compare them with the portable ones, and the two tables. Each kernel carries its path's target
// attribute (features.hpp) and is named for the instruction set it needs; calling one on a CPU
// without that path's features is undefined, so only path.cpp hands out a table, after runs_on().
// Contracts: poly.hpp.
//
// The folder holds every kernel that needs x86-64 instructions beyond the baseline, Keccak's
// included; keccak/ holds the portable permutation and the sponges, which run on any CPU.
#pragma once

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::x86_64 {

// The AVX2 path's kernels, which the AVX-512 path shares where it has nothing faster, and the same
// with five Keccak lanes for the cores that run a fifth state beside four at no cost (kernels.cpp).
extern const Kernels AVX2_KERNELS;
extern const Kernels AVX2_FIVE_LANE_KERNELS;
extern const Kernels AVX512_KERNELS;

// Keccak (keccak_x1.cpp, keccak_x4.cpp, keccak_x8.cpp, keccak_x1_avx512.cpp): one state with the
// scalar rounds on BMI1 and BMI2, four states in ymm registers (and a fifth in general registers
// beside them), eight in zmm registers, and one in xmm registers, two words to a register.
void keccak_f1600_bmi2(KeccakState& state) noexcept;
void permute_x4_avx2(KeccakState* const* states) noexcept;
void permute_x5_avx2(KeccakState* const* states) noexcept;
void permute_x8_avx512(KeccakState* const* states) noexcept;
void keccak_f1600_avx512(KeccakState& state) noexcept;

// Rejection sampling (rejection.cpp): 8 candidates at a time, and 16 at a time.
std::size_t rejection_sample_avx2(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                  std::size_t len) noexcept;
std::size_t rejection_sample_avx512(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                    std::size_t len) noexcept;

// The NTT (ntt.cpp, ntt_avx512.cpp) and one row of the matrix product (matrix_row.cpp).
void ntt_avx2(Poly& p) noexcept;
void inverse_ntt_montgomery_avx2(Poly& p) noexcept;
void ntt_avx512(Poly& p) noexcept;
void inverse_ntt_montgomery_avx512(Poly& p) noexcept;
void matrix_row_avx2(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;
void matrix_row_avx512(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;

// Unpacking z and t1, packing w1 (encoding.cpp).
bool unpack_z_avx2(Poly& p, const std::uint8_t* bytes) noexcept;
void unpack_t1_shifted_avx2(Poly& p, const std::uint8_t* bytes) noexcept;
void encode_w1_avx2(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept;

}  // namespace halyx::mldsa::x86_64

#endif
