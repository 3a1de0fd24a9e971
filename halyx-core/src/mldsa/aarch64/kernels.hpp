// kernels.hpp: the aarch64 kernels one by one, for the tables in kernels.cpp and for tests that
// compare them with the portable ones, and the two tables. NEON (Advanced SIMD) is part of every
// aarch64 Linux CPU in practice but is still asked for; the SHA-3 path's Keccak needs ARMv8.2's
// SHA-3 instructions, and only path.cpp hands out its table, after runs_on(). Contracts: poly.hpp.
#pragma once

#if defined(__aarch64__)

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::aarch64 {

extern const Kernels NEON_KERNELS;
extern const Kernels NEON_SHA3_KERNELS;

// Keccak (keccak_x2.cpp, keccak_x2_sha3.cpp): two states side by side, one per 64-bit lane of
// each 128-bit register, in plain NEON and with EOR3, RAX1, XAR and BCAX; and one state with the
// latter (both lanes of a register on the same state).
void permute_x2_neon(KeccakState* const* states) noexcept;
void permute_x2_sha3(KeccakState* const* states) noexcept;
void keccak_f1600_sha3(KeccakState& state) noexcept;

// Rejection sampling (rejection.cpp), sixteen candidates at a time.
std::size_t rejection_sample_neon(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                                  std::size_t len) noexcept;

// The NTT and one row of the matrix product (ntt.cpp).
void ntt_neon(Poly& p) noexcept;
void inverse_ntt_montgomery_neon(Poly& p) noexcept;
void matrix_row_neon(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;

// Unpacking z and t1, packing w1 (encoding.cpp).
bool unpack_z_neon(Poly& p, const std::uint8_t* bytes) noexcept;
void unpack_t1_shifted_neon(Poly& p, const std::uint8_t* bytes) noexcept;
void encode_w1_neon(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept;

}  // namespace halyx::mldsa::aarch64

#endif
