// features.hpp: what each x86-64 path needs of the CPU, stated once. A path's list names, for each
// feature, the CpuFeatures member that this_cpu() fills and runs_on() reads, and the compiler's
// name for it; the same list gives the target attribute that every function of the path's kernels
// carries, helpers included. The tests read it too, so a feature added to a list reaches the
// instructions the compiler may emit and the expectations at once; this_cpu() reads each member's
// CPUID bit, and a test fails while a listed feature has none (its member then stays false).
#pragma once

#include <span>
#include <string_view>

#include <halyx/mldsa/path.hpp>

// F(member, "compiler name"): the member of CpuFeatures, which is also Linux's /proc/cpuinfo flag.
#define HALYX_MLDSA_AVX2_FEATURES(F) F(avx2, "avx2") F(bmi1, "bmi") F(bmi2, "bmi2") F(popcnt, "popcnt")
// The AVX-512 path runs the AVX2 kernels beside its own, so it needs their features too. GCC emits
// AVX512DQ instructions (vextracti64x2) in the 8-way Keccak's scatter.
#define HALYX_MLDSA_AVX512_FEATURES(F)                                                                 \
  HALYX_MLDSA_AVX2_FEATURES(F)                                                                         \
  F(avx512f, "avx512f") F(avx512bw, "avx512bw") F(avx512vl, "avx512vl") F(avx512dq, "avx512dq")         \
  F(avx512vbmi, "avx512vbmi")

// The attribute of the path's kernels. The string opens on sse2, part of every x86-64, so that each
// feature brings its own separator.
#define HALYX_MLDSA_TARGET_NAME(member, name) "," name
#define HALYX_TARGET_AVX2 __attribute__((target("sse2" HALYX_MLDSA_AVX2_FEATURES(HALYX_MLDSA_TARGET_NAME))))
// Clang 18 and later split the 512-bit registers from the AVX-512 instructions (for AVX10) and,
// in a target attribute, grant them only when named: "evex512" is no CPU feature of its own.
#if defined(__clang__) && __clang_major__ >= 18
#define HALYX_MLDSA_EVEX512 ",evex512"
#else
#define HALYX_MLDSA_EVEX512 ""
#endif
#define HALYX_TARGET_AVX512 \
  __attribute__((target("sse2" HALYX_MLDSA_AVX512_FEATURES(HALYX_MLDSA_TARGET_NAME) HALYX_MLDSA_EVEX512)))

namespace halyx::mldsa::x86_64 {

struct Feature {
  std::string_view name;  // as Linux's /proc/cpuinfo lists it
  bool CpuFeatures::*member;
};

#define HALYX_MLDSA_FEATURE(member, name) Feature{#member, &CpuFeatures::member},
inline constexpr Feature AVX2_FEATURES[] = {HALYX_MLDSA_AVX2_FEATURES(HALYX_MLDSA_FEATURE)};
inline constexpr Feature AVX512_FEATURES[] = {HALYX_MLDSA_AVX512_FEATURES(HALYX_MLDSA_FEATURE)};
#undef HALYX_MLDSA_FEATURE

// Returns the x86-64 features path `p` needs; none for the portable path and the aarch64 ones.
constexpr std::span<const Feature> features_of(Path p) noexcept {
  switch (p) {
    case Path::Portable:
      return {};
    case Path::Avx2:
      return AVX2_FEATURES;
    case Path::Avx512:
      return AVX512_FEATURES;
    case Path::Neon:
    case Path::NeonSha3:
      return {};  // aarch64's (aarch64/features.hpp)
  }
  return {};  // unreachable: every path has its case above
}

}  // namespace halyx::mldsa::x86_64
