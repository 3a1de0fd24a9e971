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

// Returns "portable", "avx2" or "avx512".
[[nodiscard]] std::string_view path_name(Path p) noexcept;

// Returns the paths this CPU can run, the portable one first.
[[nodiscard]] std::span<const Path> available_paths() noexcept;

// Returns the path this process verifies with: decided on the first call, the same ever after.
[[nodiscard]] Path selected_path() noexcept;

// Returns the kernels of `p`, which must be one of available_paths().
[[nodiscard]] const Kernels& kernels_for(Path p) noexcept;

}  // namespace halyx::mldsa
