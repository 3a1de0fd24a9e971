#include <halyx/mldsa/path.hpp>

#include <array>
#include <cstddef>

#include <halyx/mldsa/x86_64/features.hpp>
#if defined(__x86_64__)
#include <halyx/mldsa/x86_64/kernels.hpp>
#endif

namespace halyx::mldsa {

namespace {

struct Availability {
  std::array<Path, 3> paths{};
  std::size_t count = 0;
};

Availability detect() noexcept {
  const CpuFeatures cpu = this_cpu();
  Availability a;
  for (const Path p : {Path::Portable, Path::Avx2, Path::Avx512}) {
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
  for (const x86_64::Feature& f : x86_64::features_of(p)) {
    if (!(cpu.*f.member)) return false;
  }
  return true;
}

CpuFeatures this_cpu() noexcept {
  CpuFeatures cpu;
#if defined(__x86_64__)
  // The compiler's CPU check also asks the operating system whether it saves the vector registers.
  // The AVX-512 path's list holds every feature of the other paths.
  __builtin_cpu_init();
#define HALYX_MLDSA_DETECT(member, name) cpu.member = __builtin_cpu_supports(name);
  HALYX_MLDSA_AVX512_FEATURES(HALYX_MLDSA_DETECT)
#undef HALYX_MLDSA_DETECT
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
      return x86_64::AVX2_KERNELS;
    case Path::Avx512:
      return x86_64::AVX512_KERNELS;
#else
    case Path::Avx2:
    case Path::Avx512:
      break;
#endif
  }
  return PORTABLE_KERNELS;  // only a path this architecture lacks gets here
}

}  // namespace halyx::mldsa
