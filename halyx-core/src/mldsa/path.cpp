#include <halyx/mldsa/path.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

#include <halyx/mldsa/aarch64/features.hpp>
#include <halyx/mldsa/x86_64/features.hpp>
#if defined(__x86_64__)
#include <halyx/mldsa/x86_64/kernels.hpp>
#endif
#if defined(__aarch64__)
#include <halyx/mldsa/aarch64/kernels.hpp>
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
