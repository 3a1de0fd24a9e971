// Two Keccak states side by side with ARMv8.2's SHA-3 instructions: EOR3 sums three lanes, RAX1
// is theta's XOR with a rotation by one, XAR theta's XOR with rho's rotation, BCAX all of chi. A
// round takes 67 instructions where plain NEON takes about 160. Only this file is compiled for
// them: the target is set after every header but keccak_x2.hpp is in, so no inline function that
// other files share is built here with instructions the baseline lacks.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/kernels.hpp>
#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/rounds.hpp>

// Clang (zig's, for the musl wheels) takes the target as an attribute on every function that follows.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("v8.2a,sha3"))), apply_to = function)
#else
#pragma GCC target("arch=armv8.2-a+sha3")
// Scheduling before register allocation lengthens the lanes' lives past the 32 registers; without
// it the rounds spill about half as much (11.5 against 13 instructions a lane, counted under qemu).
#pragma GCC optimize("no-schedule-insns")
#endif

#include <halyx/mldsa/aarch64/keccak_x2.hpp>

namespace halyx::mldsa::aarch64 {
namespace {

struct Sha3Ops {
  using Lanes = keccak_x2::Lanes;
  [[gnu::always_inline]] static Lanes xor5(Lanes a, Lanes b, Lanes c, Lanes d, Lanes e) noexcept {
    return veor3q_u64(veor3q_u64(a, b, c), d, e);
  }
  [[gnu::always_inline]] static Lanes theta_d(Lanes c, Lanes d) noexcept { return vrax1q_u64(c, d); }
  // XAR rotates right; a rotation left by N is one right by 64 - N.
  template <unsigned N>
  [[gnu::always_inline]] static Lanes xor_rotl_any(Lanes a, Lanes d) noexcept {
    if constexpr (N == 0) {
      return veorq_u64(a, d);
    } else {
      return vxarq_u64(a, d, 64 - N);
    }
  }
  [[gnu::always_inline]] static Lanes chi(Lanes a, Lanes b, Lanes c) noexcept { return vbcaxq_u64(a, c, b); }
};

}  // namespace

void permute_x2_sha3(KeccakState* const* states) noexcept { keccak_x2::permute<Sha3Ops>(states); }

void keccak_f1600_sha3(KeccakState& state) noexcept {
  KeccakState* const both[2] = {&state, &state};
  keccak_x2::permute<Sha3Ops>(both);
}

}  // namespace halyx::mldsa::aarch64

#if defined(__clang__)
#pragma clang attribute pop
#endif

#endif
