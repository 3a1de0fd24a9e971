// x86_arith.hpp: the AVX2 polynomial kernels, for the x86-64 kernel tables and for tests that
// compare them with the portable ones. Contracts: poly.hpp. Each one runs only on a CPU with AVX2
// and BMI2; path.cpp makes sure of that before handing out a table that holds them.
#pragma once

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::avx2 {

void ntt(Poly& p) noexcept;
void inverse_ntt_montgomery(Poly& p) noexcept;
void matrix_row(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;
bool unpack_z(Poly& p, const std::uint8_t* bytes) noexcept;
void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept;
void encode_w1(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept;

}  // namespace halyx::mldsa::avx2

#endif
