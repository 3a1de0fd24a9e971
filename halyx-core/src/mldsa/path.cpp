#include <halyx/mldsa/path.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/features.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#if defined(__x86_64__)
#include <cpuid.h>

#include <halyx/mldsa/x86_64/kernels.hpp>
#endif
#if defined(__aarch64__)
#include <halyx/mldsa/aarch64/kernels.hpp>
#endif
#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace halyx::mldsa {

namespace {

struct Availability {
  std::array<Path, PATH_COUNT> paths{};
  std::size_t count = 0;
#if defined(__x86_64__)
  const Kernels* avx2 = &x86_64::AVX2_KERNELS;
#endif
};

Availability detect() noexcept {
  const CpuFeatures cpu = this_cpu();
  Availability a;
#if defined(__x86_64__)
  if (cpu.amd_family_1ah) a.avx2 = &x86_64::AVX2_FIVE_LANE_KERNELS;
#endif
  // In order of preference, the best last.
  for (const Path p : {Path::Portable, Path::Avx2, Path::Avx512, Path::Neon, Path::NeonSha3}) {
    if (runs_on(p, cpu)) a.paths[a.count++] = p;
  }
  return a;
}

const Availability& availability() noexcept {
  static const Availability a = detect();
  return a;
}

[[maybe_unused]] bool available(Path p) noexcept {
  for (Path q : available_paths()) {
    if (q == p) return true;
  }
  return false;
}

Path choose() noexcept {
#if defined(HALYX_MLDSA_PINNED_PATH)
  constexpr Path pinned = Path::HALYX_MLDSA_PINNED_PATH;
  return available(pinned) ? pinned : Path::Portable;
#else
  return available_paths().back();
#endif
}

}  // namespace

bool runs_on(Path p, const CpuFeatures& cpu) noexcept {
  // A path of one architecture needs at least one feature of it, which the other's CPUs never have.
  for (const x86_64::Feature& f : x86_64::features_of(p)) {
    if (!(cpu.*f.member)) return false;
  }
  for (const aarch64::Feature& f : aarch64::features_of(p)) {
    if (!(cpu.*f.member)) return false;
  }
  return true;
}

CpuFeatures this_cpu() noexcept {
  CpuFeatures cpu;
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
  cpu.sha3 = (hwcap & HWCAP_SHA3) != 0;
#endif
  return cpu;
}

std::string_view path_name(Path p) noexcept {
  switch (p) {
    case Path::Portable:
      return "portable";
    case Path::Avx2:
      return "avx2";
    case Path::Avx512:
      return "avx512";
    case Path::Neon:
      return "neon";
    case Path::NeonSha3:
      return "neon_sha3";
  }
  return {};  // unreachable: every path has its case above, and -Wswitch guards new ones
}

std::span<const Path> available_paths() noexcept {
  const Availability& a = availability();
  return {a.paths.data(), a.count};
}

Path selected_path() noexcept {
  static const Path chosen = choose();
  return chosen;
}

const Kernels& kernels_for(Path p) noexcept {
  switch (p) {
    case Path::Portable:
      return PORTABLE_KERNELS;
#if defined(__x86_64__)
    case Path::Avx2:
      return *availability().avx2;
    case Path::Avx512:
      return x86_64::AVX512_KERNELS;
#else
    case Path::Avx2:
    case Path::Avx512:
      break;
#endif
#if defined(__aarch64__)
    case Path::Neon:
      return aarch64::NEON_KERNELS;
    case Path::NeonSha3:
      return aarch64::NEON_SHA3_KERNELS;
#else
    case Path::Neon:
    case Path::NeonSha3:
      break;
#endif
  }
  return PORTABLE_KERNELS;  // only a path this architecture lacks gets here
}

}  // namespace halyx::mldsa
