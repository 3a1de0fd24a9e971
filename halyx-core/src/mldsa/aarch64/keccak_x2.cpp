// Two Keccak states side by side in NEON registers, with the instructions every aarch64 CPU has:
// a rotation is a shift left and a shift right that inserts into it (SHL, SRI).
#if defined(__aarch64__)

#include <arm_neon.h>

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/aarch64/keccak_x2.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>

// As in keccak_x2_sha3.cpp: scheduled before register allocation, the rounds spill more.
#if !defined(__clang__)
#pragma GCC optimize("no-schedule-insns")
#endif

namespace halyx::mldsa::aarch64 {
namespace {

struct NeonOps {
  using Lanes = keccak_x2::Lanes;
  template <unsigned N>
  [[gnu::always_inline]] static Lanes rotl(Lanes v) noexcept {
    return vsriq_n_u64(vshlq_n_u64(v, N), v, 64 - N);
  }
  [[gnu::always_inline]] static Lanes xor5(Lanes a, Lanes b, Lanes c, Lanes d, Lanes e) noexcept {
    return veorq_u64(veorq_u64(veorq_u64(a, b), veorq_u64(c, d)), e);
  }
  [[gnu::always_inline]] static Lanes theta_d(Lanes c, Lanes d) noexcept { return veorq_u64(c, rotl<1>(d)); }
  // Lane (0, 0) is the one rho leaves in place.
  template <unsigned N>
  [[gnu::always_inline]] static Lanes xor_rotl_any(Lanes a, Lanes d) noexcept {
    if constexpr (N == 0) {
      return veorq_u64(a, d);
    } else {
      return rotl<N>(veorq_u64(a, d));
    }
  }
  [[gnu::always_inline]] static Lanes chi(Lanes a, Lanes b, Lanes c) noexcept { return veorq_u64(a, vbicq_u64(c, b)); }
};

}  // namespace

void permute_x2_neon(KeccakState* const* states) noexcept { keccak_x2::permute<NeonOps>(states); }

}  // namespace halyx::mldsa::aarch64

#endif
