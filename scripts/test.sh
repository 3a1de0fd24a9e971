#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the documentation (scripts/docs.sh), after the release build: warnings as errors, examples run;
#   2. clang-tidy over the project's sources, and
#      ruff over the repository's Python files (pinned in scripts/wheel-tools.txt, rules in pyproject.toml);
#   3. the C++ and Python tests of an AddressSanitizer + UndefinedBehaviorSanitizer build;
#      then all of them again against a build whose signature handle is OpenSSL's and whose native
#      verifier has its path pinned to AVX2 (it must select AVX2 even where AVX-512 is there);
#   4. the C++ tests that run on threads, in a ThreadSanitizer build of their two programs only:
#      the batch pipeline, the segment reader's threads and the command's two readings, and one
#      CheckedSth verifying from several threads; any report fails the run;
#   5. the package (scripts/test-wheel.sh): the cp311-abi3 wheel, built by the build backend and
#      retagged by auditwheel to the promised glibc, its notices and SBOM, the wheel installed
#      into a fresh virtual environment of every CPython on the machine, with the Python tests and
#      the type-stub check against the installed module, an OpenSSL-backend wheel's notices, and
#      the sdist, built twice to the same bytes, unpacked and turned into a wheel without network,
#      apt or downloads that is the same bytes as the tree's;
#   6. the aarch64 wheel (scripts/test-wheel-aarch64.sh): cross-built, retagged and checked the
#      same way, then imported, run on the sample and tested by an arm64 CPython under qemu;
#   7. the aarch64 ML-DSA paths (scripts/test-mldsa-aarch64.sh): the ML-DSA and SHA-256 test program
#      cross-built and run under qemu with every aarch64 path forced, under a CPU model with the
#      SHA-3 instructions and one without, OpenSSL's recorded verdicts replayed on each;
#   8. the cp313t wheel under a free-threaded CPython 3.13 (scripts/test-wheel-ft.sh);
#   9. the musllinux_1_2 wheels, x86-64 and aarch64, built with zig's toolchain and tested under musl
#      CPythons built with the same toolchain, the aarch64 one under qemu (scripts/test-wheel-musl.sh);
#  10. the C++ and Python tests of the release build, under ctest (its summary ends the output).
# ctest runs each tree's tests on every core. Steps 8 and 9 need interpreters built from source on
# first use, so they start at once, in the background: the free-threaded interpreter's build, and
# the whole of step 9. Each runs in a session of its own whose scheduling group has the least
# weight the kernel gives, so it takes only the processor time that the steps in front leave idle
# (downloads, one-process configure runs and tests) and does not slow them.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
# Each heading also gives the processor time (user + system) of the child processes finished so far,
# which, unlike the wall clock, does not depend on what else shares the cores. times runs in this
# shell itself: in a pipe or $(...) it would describe a fresh subshell, which has no children.
times_file=$(mktemp)
cpu_so_far() {
  awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' \
    "$times_file"
}
section() {
  times >"$times_file"
  printf '\n== %s  (at %d s, %s s of processor time)\n' "$*" "$((SECONDS - started))" "$(cpu_so_far)"
}
ft_log=$(mktemp)
ft_build=""
musl_log=$(mktemp)
musl_test=""
# A run that stops early takes what runs in the background (each its own session) down with it.
finish() {
  [[ -n $ft_build ]] && kill -- "-$ft_build" 2>/dev/null
  [[ -n $musl_test ]] && kill -- "-$musl_test" 2>/dev/null
  rm -f "$ft_log" "$musl_log"
  times >"$times_file"
  printf '\n== finished in %d s, %s s of processor time\n' "$((SECONDS - started))" "$(cpu_so_far)"
  rm -f "$times_file"
}
trap finish EXIT

# The build tools come first: the interpreter's build needs the compiler and apt's keyring.
scripts/setup.sh
# in_background LOG COMMAND...: COMMAND in a session of its own, at the lowest weight of the kernel's
# per-session scheduling groups where it has them, its output into LOG.
in_background() {
  local log=$1
  shift
  setsid bash -c 'echo 19 >/proc/self/autogroup 2>/dev/null || true; exec "$@"' in_background "$@" >"$log" 2>&1 &
}
# await PID LOG FAILURE: waits for what in_background started, then shows its output; stops the
# run with FAILURE if it failed.
await() {
  if ! wait "$1"; then
    cat "$2" >&2
    echo "test: $3" >&2
    exit 1
  fi
  cat "$2"
}
in_background "$ft_log" scripts/test-wheel-ft.sh --prepare
ft_build=$!
in_background "$musl_log" scripts/test-wheel-musl.sh
musl_test=$!

section "release build"
scripts/build.sh

section "documentation and its examples"
scripts/docs.sh

section "clang-tidy"
scripts/clang-tidy.sh build

section "ruff"
git ls-files -z '*.py' '*.pyi' | xargs -0 "$(scripts/wheel-tools.sh)/ruff" check --quiet

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

section "ThreadSanitizer build: the tests that run on threads"
# Only the two test programs are built. The CLI's runs whole (its tests take a second under
# ThreadSanitizer); the core's runs its tests that use threads, by name, as a whole run of it would
# cost a minute of processor time for code that runs on one thread. The count of tests that ran is
# checked, so that a renamed test cannot leave the filter matching nothing.
source scripts/configure.sh
configure build-tsan -DHALYX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build build-tsan --target halyx_core_tests halyx_cli_tests -j"$(nproc)"
(
  export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
  build-tsan/halyx-cli/halyx_cli_tests --gtest_brief=1
  threaded=CheckedSth.GivesTheSameAnswersFromSeveralThreads:MlDsa65Handle.ConcurrentFirstUse:SegmentReader.*:ThreadPool.*
  core=$(build-tsan/halyx-core/halyx_core_tests --gtest_brief=1 --gtest_filter="$threaded") || { echo "$core"; exit 1; }
  echo "$core"
  grep -q '^\[  PASSED  \] 6 tests\.$' <<<"$core" || { echo "test: the core's threaded tests did not all run" >&2; exit 1; }
)

section "wheel and sdist"
scripts/test-wheel.sh

section "aarch64 wheel, under emulation"
scripts/test-wheel-aarch64.sh

section "aarch64 ML-DSA paths, under emulation"
scripts/test-mldsa-aarch64.sh

section "cp313t wheel, free-threaded"
await "$ft_build" "$ft_log" "the free-threaded CPython could not be built"
ft_build=""
scripts/test-wheel-ft.sh

section "musllinux wheels, x86-64 and aarch64 (run in the background)"
await "$musl_test" "$musl_log" "the musllinux wheels failed"
musl_test=""

section "release tests"
ctest --test-dir build --output-on-failure -j"$(nproc)"
