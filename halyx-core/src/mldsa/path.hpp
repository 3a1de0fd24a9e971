// path.hpp: the code paths of the verifier and the choice between them.
//
// Every path computes the same verdict; they differ only in the instructions they use. The
// portable path runs anywhere. On x86-64, AVX2 adds a 4-way Keccak and vector arithmetic, and
// AVX-512 an 8-way Keccak. The process uses the best path its CPU has, decided once. A build can
// pin a path with the CMake option HALYX_MLDSA_PATH (portable, avx2 or avx512); a pinned path the
// CPU lacks falls back to the portable one. Tests and benchmarks name a path explicitly.
#pragma once

#include <span>
#include <string_view>

#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {

enum class Path { Portable, Avx2, Avx512 };

// The CPU features that decide which paths may run; all false on a CPU that is not x86-64.
struct CpuFeatures {
  bool avx2 = false;
  bool bmi1 = false;
  bool bmi2 = false;
  bool popcnt = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512vbmi = false;
};

// Returns the features of the CPU this process runs on, as the CPU and the operating system report them.
[[nodiscard]] CpuFeatures this_cpu() noexcept;

// Returns whether every instruction of path `p` runs on a CPU with `cpu`'s features.
[[nodiscard]] bool runs_on(Path p, const CpuFeatures& cpu) noexcept;

// Returns "portable", "avx2" or "avx512".
[[nodiscard]] std::string_view path_name(Path p) noexcept;

// Returns the paths this CPU can run, the portable one first.
[[nodiscard]] std::span<const Path> available_paths() noexcept;

// Returns the path this process verifies with: decided on the first call, the same ever after.
[[nodiscard]] Path selected_path() noexcept;

// Returns the kernels of `p`, which must be one of available_paths().
[[nodiscard]] const Kernels& kernels_for(Path p) noexcept;

}  // namespace halyx::mldsa
