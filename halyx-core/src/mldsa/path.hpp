// path.hpp: the code paths of the verifier and the choice between them.
//
// Every path computes the same verdict; they differ only in the instructions they use. The
// portable path runs anywhere. On x86-64, AVX2 adds a 4-way Keccak (5-way on AMD's Zen 5, the
// fifth state in general registers) and vector arithmetic, and AVX-512 an 8-way Keccak. On
// aarch64, NEON adds vector arithmetic and a 2-way Keccak, and the ARMv8.2 SHA-3 instructions
// (EOR3, RAX1, XAR, BCAX) a faster one. The process uses the best path
// its CPU has, decided once. A build can pin a path with the CMake option HALYX_MLDSA_PATH
// (portable, avx2, avx512, neon or neon_sha3); a pinned path the CPU lacks falls back to the
// portable one. Tests and benchmarks name a path explicitly.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include <halyx/cpu/features.hpp>
#include <halyx/mldsa/poly.hpp>

namespace halyx::mldsa {

enum class Path { Portable, Avx2, Avx512, Neon, NeonSha3 };

// How many paths there are: an array indexed by a path's value has this many entries.
inline constexpr std::size_t PATH_COUNT = 5;

// The CPU features that decide which paths may run.
using CpuFeatures = cpu::Features;

// Returns the features of the CPU this process runs on (cpu::this_cpu()).
[[nodiscard]] inline const CpuFeatures& this_cpu() noexcept { return cpu::this_cpu(); }

// Returns whether every instruction of path `p` runs on a CPU with `cpu`'s features.
[[nodiscard]] bool runs_on(Path p, const CpuFeatures& cpu) noexcept;

// Returns "portable", "avx2", "avx512", "neon" or "neon_sha3", the names HALYX_MLDSA_PATH takes.
[[nodiscard]] std::string_view path_name(Path p) noexcept;

// Returns the paths this CPU can run, the portable one first.
[[nodiscard]] std::span<const Path> available_paths() noexcept;

// Returns the path this process verifies with: decided on the first call, the same ever after.
[[nodiscard]] Path selected_path() noexcept;

// Returns the kernels of `p`, which must be one of available_paths().
[[nodiscard]] const Kernels& kernels_for(Path p) noexcept;

}  // namespace halyx::mldsa
