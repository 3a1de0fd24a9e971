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
#   5. the C++ and Python tests of the release build, under ctest (its summary ends the output).
# ctest runs each tree's tests on every core. The wheels whose interpreters are built from source
# (scripts/test-wheel-ft.sh for cp313t, scripts/test-wheel-musl.sh for musllinux) are run by hand:
# on a fresh 2-core machine their interpreters would take this command past its time budget.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
section() { printf '\n== %s  (at %d s)\n' "$*" "$((SECONDS - started))"; }
trap 'printf "\n== finished in %d s\n" "$((SECONDS - started))"' EXIT

section "release build"
scripts/build.sh

section "clang-tidy"
scripts/clang-tidy.sh build

section "sanitizer build and tests"
HALYX_BUILD_DIR=build-sanitize scripts/build.sh -DHALYX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"

section "OpenSSL backend, AVX2 path pinned: every test"
HALYX_BUILD_DIR=build-openssl scripts/build.sh -DHALYX_MLDSA_BACKEND=openssl -DHALYX_MLDSA_PATH=avx2
ctest --test-dir build-openssl --output-on-failure -j"$(nproc)"

section "wheel and sdist"
scripts/test-wheel.sh

section "aarch64 wheel, under emulation"
scripts/test-wheel-aarch64.sh


section "release tests"
ctest --test-dir build --output-on-failure -j"$(nproc)"
