#include <halyx/mldsa/path.hpp>

#include <array>
#include <cstddef>

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
  // The vector kernels also use BMI1 and POPCNT. Every CPU with AVX2 has both, but only what is
  // checked here may be used. The AVX-512 path runs the AVX2 kernels beside its own, and GCC emits
  // AVX512DQ instructions (vextracti64x2) in its 8-way Keccak.
  const bool avx2 = cpu.avx2 && cpu.bmi1 && cpu.bmi2 && cpu.popcnt;
  switch (p) {
    case Path::Portable:
      return true;
    case Path::Avx2:
      return avx2;
    case Path::Avx512:
      return avx2 && cpu.avx512f && cpu.avx512bw && cpu.avx512vl && cpu.avx512dq && cpu.avx512vbmi;
  }
  return false;  // unreachable: every path has its case above
}

CpuFeatures this_cpu() noexcept {
  CpuFeatures cpu;
#if defined(__x86_64__)
  // The compiler's CPU check also asks the operating system whether it saves the vector registers.
  __builtin_cpu_init();
  cpu.avx2 = __builtin_cpu_supports("avx2");
  cpu.bmi1 = __builtin_cpu_supports("bmi");
  cpu.bmi2 = __builtin_cpu_supports("bmi2");
  cpu.popcnt = __builtin_cpu_supports("popcnt");
  cpu.avx512f = __builtin_cpu_supports("avx512f");
  cpu.avx512bw = __builtin_cpu_supports("avx512bw");
  cpu.avx512vl = __builtin_cpu_supports("avx512vl");
  cpu.avx512dq = __builtin_cpu_supports("avx512dq");
  cpu.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
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
      return AVX2_KERNELS;
    case Path::Avx512:
      return AVX512_KERNELS;
#else
    case Path::Avx2:
    case Path::Avx512:
      break;
#endif
  }
  return PORTABLE_KERNELS;  // only a path this architecture lacks gets here
}

}  // namespace halyx::mldsa
