#include <halyx/cpu/features.hpp>

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace halyx::cpu {

Features detect() noexcept {
  Features cpu;
#if defined(__x86_64__)
  // Asked of the CPU itself rather than through __builtin_cpu_supports, whose data lives in the
  // compiler's runtime library: libgcc has it, but not every clang runtime does (zig's, which builds
  // the musl wheels, lacks it). A vector extension counts only where the operating system saves its
  // registers on a context switch, as XCR0 says: SSE and AVX state for AVX2, and the opmask and
  // upper ZMM state on top for AVX-512.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return cpu;
  const bool amd = ebx == 0x68747541 && edx == 0x69746E65 && ecx == 0x444D4163;  // "AuthenticAMD"
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return cpu;
  cpu.popcnt = (ecx & bit_POPCNT) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
  // The family is the base family plus the extended one, which counts only past 0Fh.
  const unsigned base_family = (eax >> 8) & 0xF;
  const unsigned family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
  cpu.amd_family_1ah = amd && family == 0x1A;
  std::uint64_t xcr0 = 0;
  if ((ecx & bit_OSXSAVE) != 0) {
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    xcr0 = (std::uint64_t{hi} << 32) | lo;
  }
  constexpr std::uint64_t YMM_STATE = 0x6, ZMM_STATE = 0xe0;
  const bool ymm = (ecx & bit_AVX) != 0 && (xcr0 & YMM_STATE) == YMM_STATE;
  const bool zmm = ymm && (xcr0 & ZMM_STATE) == ZMM_STATE;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return cpu;
  cpu.bmi1 = (ebx & bit_BMI) != 0;
  cpu.bmi2 = (ebx & bit_BMI2) != 0;
  cpu.sha_ni = sse41 && (ebx & bit_SHA) != 0;
  cpu.avx2 = ymm && (ebx & bit_AVX2) != 0;
  cpu.avx512f = zmm && (ebx & bit_AVX512F) != 0;
  cpu.avx512bw = zmm && (ebx & bit_AVX512BW) != 0;
  cpu.avx512vl = zmm && (ebx & bit_AVX512VL) != 0;
  cpu.avx512dq = zmm && (ebx & bit_AVX512DQ) != 0;
  cpu.avx512vbmi = zmm && (ecx & bit_AVX512VBMI) != 0;
#endif
#if defined(__aarch64__) && defined(__linux__)
  // The kernel reports what user space may run; a feature it does not report traps even where
  // the core has it.
  const unsigned long hwcap = getauxval(AT_HWCAP);
  cpu.asimd = (hwcap & HWCAP_ASIMD) != 0;
  cpu.sha2 = (hwcap & HWCAP_SHA2) != 0;
  cpu.sha3 = (hwcap & HWCAP_SHA3) != 0;
#endif
  return cpu;
}

const Features& this_cpu() noexcept {
  static const Features features = detect();
  return features;
}

}  // namespace halyx::cpu
