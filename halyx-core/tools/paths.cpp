// Prints what the CPU check of this build finds and chooses, one "name: value" line each:
//
//   sha_ni: yes|no              (x86-64)
//   sha2: yes|no                (aarch64: the ARMv8 SHA-2 instructions)
//   available: portable avx2 ...
//   selected: avx2
//
// For builds whose test suite cannot run where they are made (the musl wheels, built with another
// compiler and C library) and for aarch64 builds under qemu: their scripts compare these answers
// with the CPU's flags, or with the CPU model qemu was told to emulate.
#include <cstdio>
#include <string_view>

#include <halyx/digest/sha256_compress.hpp>
#include <halyx/mldsa/path.hpp>

int main() {
  namespace mldsa = halyx::mldsa;
#if defined(__x86_64__)
  std::printf("sha_ni: %s\n", halyx::digest::detail::cpu_has_sha_ni() ? "yes" : "no");
#endif
#if defined(__aarch64__)
  std::printf("sha2: %s\n", halyx::digest::detail::cpu_has_armv8_sha2() ? "yes" : "no");
#endif
  std::printf("available:");
  for (const mldsa::Path p : mldsa::available_paths()) {
    const std::string_view name = mldsa::path_name(p);
    std::printf(" %.*s", static_cast<int>(name.size()), name.data());
  }
  const std::string_view selected = mldsa::path_name(mldsa::selected_path());
  std::printf("\nselected: %.*s\n", static_cast<int>(selected.size()), selected.data());
  return 0;
}
