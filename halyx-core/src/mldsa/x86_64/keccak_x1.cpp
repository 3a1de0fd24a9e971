// Keccak-f[1600] on one state with the portable rounds, compiled for the AVX2 path: the compiler
// then uses rorx and andn (BMI2, BMI1), which it may emit only in a function that says the CPU has
// them, and only path.cpp's CPU check lets a table point here.
#if defined(__x86_64__)

#include <halyx/mldsa/keccak/keccak.hpp>
#include <halyx/mldsa/keccak/rounds.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#include <halyx/mldsa/x86_64/kernels.hpp>

namespace halyx::mldsa::x86_64 {

HALYX_TARGET_AVX2 void keccak_f1600_bmi2(KeccakState& state) noexcept { keccak_rounds::permute(state.data()); }

}  // namespace halyx::mldsa::x86_64

#endif
