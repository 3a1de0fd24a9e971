// features.hpp: what each aarch64 path needs of the CPU, stated once. A path's list names, for
// each feature, the CpuFeatures member that this_cpu() fills from the kernel's hardware capability
// bits (getauxval(AT_HWCAP)) and runs_on() reads. The SHA-3 path's Keccak is compiled for
// ARMv8.2-A with the SHA-3 extension (keccak_x2_sha3.cpp); its other kernels are the NEON path's.
// SHA-256's use of the ARMv8 SHA-2 instructions is decided apart, by the digest layer.
#pragma once

#include <span>
#include <string_view>

#include <halyx/mldsa/path.hpp>

namespace halyx::mldsa::aarch64 {

struct Feature {
  std::string_view name;  // as Linux's /proc/cpuinfo lists it on aarch64
  bool CpuFeatures::*member;
};

inline constexpr Feature NEON_FEATURES[] = {{"asimd", &CpuFeatures::asimd}};
inline constexpr Feature NEON_SHA3_FEATURES[] = {{"asimd", &CpuFeatures::asimd}, {"sha3", &CpuFeatures::sha3}};

// Returns the aarch64 features path `p` needs; none for the portable path and the x86-64 ones.
constexpr std::span<const Feature> features_of(Path p) noexcept {
  switch (p) {
    case Path::Portable:
    case Path::Avx2:
    case Path::Avx512:
      return {};
    case Path::Neon:
      return NEON_FEATURES;
    case Path::NeonSha3:
      return NEON_SHA3_FEATURES;
  }
  return {};  // unreachable: every path has its case above
}

}  // namespace halyx::mldsa::aarch64
