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
  Availability a;
  a.paths[a.count++] = Path::Portable;
#if defined(__x86_64__)
  // The compiler's CPU check also asks the operating system whether it saves the vector registers.
  __builtin_cpu_init();
  // The vector kernels also use BMI1 and POPCNT. Every CPU with AVX2 has both, but only what is
  // checked here may be used.
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                    __builtin_cpu_supports("popcnt");
  if (avx2) a.paths[a.count++] = Path::Avx2;
  if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
    a.paths[a.count++] = Path::Avx512;
  }
#endif
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
