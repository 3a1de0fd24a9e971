#!/usr/bin/env bash
# Tests the aarch64 ML-DSA paths (portable, neon, neon_sha3) and SHA-256 under qemu-user, with the
# cross compiler the aarch64 wheel uses:
#   1. cross-builds only the ML-DSA and SHA-256 test program and the CPU check (halyx_paths), with
#      GoogleTest from Debian's sources and no OpenSSL (HALYX_BUILD_MLDSA_TESTS_ONLY), and with
#      every kernel checking the ranges its contract states (HALYX_CHECK_RANGES, as the sanitizer
#      build has them on x86-64), so that a NEON kernel leaving a coefficient out of range stops,
#      and with UndefinedBehaviorSanitizer, stopping at its first report (AddressSanitizer's shadow
#      memory does not work under qemu-user; UBSan needs none);
#   2. asks the CPU check under two CPU models: qemu's "max", which has the SHA-2 and SHA-3
#      instructions, must offer and select neon_sha3; a Cortex-A72, which has SHA-2 but not SHA-3,
#      must offer portable and neon only and select neon;
#   3. runs the whole test program under each model, the two at once. Each path-parameterised test
#      runs once for every path the CPU offers (tests/mldsa/each_path.hpp), so under "max" the three paths are
#      each forced in turn, and under the Cortex-A72 the NEON path runs on a CPU where a stray
#      SHA-3 instruction would stop it: the outside vectors, the rounding on every residue, the
#      intermediate values against the portable path's on 300 random inputs, SHA-256 with and
#      without its instructions;
#   4. a recorded differential: the release build's OpenSSL test program (halyx_core_openssl_tests,
#      x86-64, with OpenSSL 3.5 as its oracle), run while the cross build compiles, records
#      OpenSSL's verdicts on 600 fresh signatures and every kind of damage to each, over 11,000
#      verdicts (MlDsaDifferential.RecordsVerdictsForReplay); under "max" the aarch64 program
#      replays them on each of the three paths, drawing the damage again from the record's seeds,
#      and every verdict must be OpenSSL's (MlDsaReplay). HALYX_MLDSA_REPLAY may name a record made
#      before; the release build is then not needed.
# From a fresh tree, on the 2-core development machine shared with other builds (load average 6
# to 8): 82 to 120 s of wall time, 69 s of processor time without the range checks and 92 s with
# them; the cross compile is about 50 s of it, each qemu run of the test program 6 to 17 s.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${HALYX_BUILD_DIR:-build}
tree="$root/$build/aarch64-mldsa"
fail() { echo "test-mldsa-aarch64: $*" >&2; exit 1; }

# OpenSSL's verdicts are recorded natively while the cross build runs.
record=${HALYX_MLDSA_REPLAY:-}
recording=""
if [[ -z $record ]]; then
  record="$root/$build/mldsa-verdicts.bin"
  oracle_tests="$root/$build/halyx-core/halyx_core_openssl_tests"
  [[ -x $oracle_tests ]] || fail "no $oracle_tests to record OpenSSL's verdicts: build $build with the" \
    "OpenSSL tests (-DHALYX_TEST_WITH_OPENSSL=ON, the default), or name a record in HALYX_MLDSA_REPLAY"
  HALYX_MLDSA_DIFFERENTIAL_RECORD=$record "$oracle_tests" \
    --gtest_filter=MlDsaDifferential.RecordsVerdictsForReplay --gtest_brief=1 >"$tree.record.log" 2>&1 &
  recording=$!
fi

started=$SECONDS
cmake -S . -B "$tree" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
  -DHALYX_BUILD_TESTS=OFF -DHALYX_BUILD_MLDSA_TESTS_ONLY=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-DHALYX_CHECK_RANGES -fsanitize=undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=undefined -DHALYX_DEPS_CACHE="${HALYX_DEPS_CACHE:-$root/.cache}" \
  >"$tree.configure.log" 2>&1 ||
  { cat "$tree.configure.log" >&2; fail "configure failed"; }
ninja -C "$tree" halyx_mldsa_tests halyx_paths >"$tree.build.log" 2>&1 ||
  { cat "$tree.build.log" >&2; fail "the cross build failed"; }
echo "test-mldsa-aarch64: cross-built in $((SECONDS - started)) s"

# emulated MODEL PROGRAM ARGUMENT...: PROGRAM under qemu, emulating CPU model MODEL.
emulated() {
  local model=$1
  shift
  timeout 600 qemu-aarch64-static -cpu "$model" -L /usr/aarch64-linux-gnu "$@"
}

check_paths() {
  local model=$1 want=$2 report
  report=$(emulated "$model" "$tree/halyx-core/halyx_paths")
  [[ $report == "$want" ]] || fail "under -cpu $model the CPU check says '$report', not '$want'"
  echo "test-mldsa-aarch64: -cpu $model offers ${report#*available: }" | tr '\n' ' '
  echo
}
check_paths max "sha2: yes
available: portable neon neon_sha3
selected: neon_sha3"
check_paths cortex-a72 "sha2: yes
available: portable neon
selected: neon"

if [[ -n $recording ]]; then
  wait "$recording" || { cat "$tree.record.log" >&2; fail "recording OpenSSL's verdicts failed"; }
  grep '^recorded:' "$tree.record.log" | sed 's/^/test-mldsa-aarch64: /'
fi
[[ -s $record ]] || fail "no record of OpenSSL's verdicts at $record"

# Both models at once, one per core; the replay under the one that offers all three paths.
started=$SECONDS
HALYX_MLDSA_REPLAY=$record emulated max "$tree/halyx-core/halyx_mldsa_tests" --gtest_brief=1 >"$tree.max.log" 2>&1 &
under_max=$!
emulated cortex-a72 "$tree/halyx-core/halyx_mldsa_tests" --gtest_brief=1 >"$tree.cortex-a72.log" 2>&1 &
under_a72=$!
status_max=0 status_a72=0
wait "$under_max" || status_max=$?
wait "$under_a72" || status_a72=$?
for model in max cortex-a72; do
  log="$tree.$model.log"
  status=$status_max
  [[ $model == cortex-a72 ]] && status=$status_a72
  (( status == 0 )) || { cat "$log" >&2; fail "the ML-DSA tests failed under -cpu $model"; }
  grep '^replayed' "$log" | sed 's/^/test-mldsa-aarch64: /' || true
  echo "test-mldsa-aarch64: -cpu $model: $(grep -E '^\[ +(PASSED|SKIPPED)' "$log" | tr -s ' ' | tr '\n' ' ')"
done
echo "test-mldsa-aarch64: the ML-DSA and SHA-256 tests passed under both models in $((SECONDS - started)) s"
