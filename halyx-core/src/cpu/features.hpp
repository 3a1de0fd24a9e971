// features.hpp: what the processor this process runs on can do, asked once for every part of the
// library that chooses its instructions by it (SHA-256's block function, the ML-DSA-65 paths).
#pragma once

namespace halyx::cpu {

// The features the library's code paths need. The x86-64 ones are all false on another CPU, and the
// aarch64 ones (from the kernel's hardware capability bits) on a CPU that is not aarch64. A vector
// extension counts only where the operating system saves its registers on a context switch.
struct Features {
  bool avx2 = false;
  bool bmi1 = false;
  bool bmi2 = false;
  bool popcnt = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512vbmi = false;
  bool sha_ni = false;          // x86-64: the SHA extensions, with SSE4.1 and SSSE3 beside them
  bool amd_family_1ah = false;  // x86-64: AMD's Zen 5, whose AVX2 path takes five Keccak lanes
  bool asimd = false;  // aarch64: NEON (Advanced SIMD)
  bool sha2 = false;   // aarch64: the ARMv8 SHA-256 instructions
  bool sha3 = false;   // aarch64: EOR3, RAX1, XAR, BCAX
};

// Returns the features of the CPU this process runs on, as the CPU and the operating system report
// them, asked again on every call.
[[nodiscard]] Features detect() noexcept;

// Returns detect()'s answer, asked on the first call and the same ever after.
[[nodiscard]] const Features& this_cpu() noexcept;

}  // namespace halyx::cpu
