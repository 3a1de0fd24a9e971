// portable.hpp: the portable path's kernels one by one, for the vector paths to fall back on
// where they have nothing faster, and for tests that compare the paths. Contracts: poly.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa::portable {

void permute_lanes(KeccakState* const* states) noexcept;  // PORTABLE_KERNELS.keccak_lanes lanes
std::size_t rejection_sample(std::int32_t* out, std::size_t filled, const std::uint8_t* bytes,
                             std::size_t len) noexcept;
void ntt(Poly& p) noexcept;
void inverse_ntt_montgomery(Poly& p) noexcept;
void matrix_row(Poly& w, const Poly* a, const Poly* z, const Poly& c, const Poly& t) noexcept;
bool unpack_z(Poly& p, const std::uint8_t* bytes) noexcept;
void unpack_t1_shifted(Poly& p, const std::uint8_t* bytes) noexcept;
void encode_w1(std::uint8_t* out, const Poly& w, const std::uint8_t* positions, std::size_t count) noexcept;

}  // namespace halyx::mldsa::portable
