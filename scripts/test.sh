#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. clang-tidy over the project's sources;
#   2. the C++ and Python tests of an AddressSanitizer + UndefinedBehaviorSanitizer build;
#      then all of them again against a build whose signature handle is OpenSSL's and whose native
#      verifier has its path pinned to AVX2 (it must select AVX2 even where AVX-512 is there);
#   3. the package (scripts/test-wheel.sh): the cp311-abi3 wheel, built by the build backend and
#      retagged by auditwheel to the promised glibc, its notices and SBOM, the wheel installed
#      into a fresh virtual environment of every CPython on the machine, with the Python tests and
#      the type-stub check against the installed module, an OpenSSL-backend wheel's notices, and
#      the sdist, built twice to the same bytes, unpacked and turned into a wheel without network,
#      apt or downloads that is the same bytes as the tree's;
#   4. the aarch64 wheel (scripts/test-wheel-aarch64.sh): cross-built, retagged and checked the
#      same way, then imported, run on the sample and tested by an arm64 CPython under qemu;
#   5. the cp313t wheel under a free-threaded CPython 3.13 (scripts/test-wheel-ft.sh);
#   6. the C++ and Python tests of the release build, under ctest (its summary ends the output).
# ctest runs each tree's tests on every core. The free-threaded interpreter of step 5 is built from
# source on first use: that starts at once, in the background, so that its download and its
# one-process configure run overlap the builds before it.
# The musllinux wheels (scripts/test-wheel-musl.sh) are tested by hand: their two interpreters, each
# a cross build whose configure checks are each a zig compile, would take this command past its
# time budget on a fresh 2-core machine.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
section() { printf '\n== %s  (at %d s)\n' "$*" "$((SECONDS - started))"; }
ft_log=$(mktemp)
ft_build=""
# A run that stops early takes the interpreter's build (its own session) down with it.
finish() {
  [[ -n $ft_build ]] && kill -- "-$ft_build" 2>/dev/null
  rm -f "$ft_log"
  printf '\n== finished in %d s\n' "$((SECONDS - started))"
}
trap finish EXIT

# The build tools come first: the interpreter's build needs the compiler and apt's keyring.
scripts/setup.sh
setsid scripts/test-wheel-ft.sh --prepare >"$ft_log" 2>&1 &
ft_build=$!

section "release build"
scripts/build.sh

section "clang-tidy"
scripts/clang-tidy.sh build

section "sanitizer build and tests"
# Line tables are all the debug information the sanitizers' reports use (file and line), and cost
# less to compile than -g's full information. The code keeps -O2: at -O1 the instrumented
# verifier takes twice the processor time over its differential test (79 s against 40 s), more
# than -O1 saves in compiling it.
HALYX_BUILD_DIR=build-sanitize scripts/build.sh -DHALYX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"

section "OpenSSL backend, AVX2 path pinned: every test"
HALYX_BUILD_DIR=build-openssl scripts/build.sh -DHALYX_MLDSA_BACKEND=openssl -DHALYX_MLDSA_PATH=avx2
ctest --test-dir build-openssl --output-on-failure -j"$(nproc)"

section "wheel and sdist"
scripts/test-wheel.sh

section "aarch64 wheel, under emulation"
scripts/test-wheel-aarch64.sh

section "cp313t wheel, free-threaded"
if ! wait "$ft_build"; then
  cat "$ft_log" >&2
  echo "test: the free-threaded CPython could not be built" >&2
  exit 1
fi
ft_build=""
cat "$ft_log"
scripts/test-wheel-ft.sh

section "release tests"
ctest --test-dir build --output-on-failure -j"$(nproc)"
