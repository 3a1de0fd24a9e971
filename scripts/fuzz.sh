#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for SECONDS_PER_TARGET (default 60) seconds:
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
#
# Installs clang 16 and libc++ 16 from Debian's packages when missing (the fuzz build needs clang,
# and clang cannot use libstdc++ 12's std::expected). Each target runs on a copy of its seed corpus
# in fuzz/corpus/<target>/, so the committed corpus never grows; the copies, logs and any crash
# inputs stay under the build directory. Environment:
#   HALYX_FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   HALYX_FUZZ_JOBS       targets run at once (default 2; each takes one core)
#   HALYX_FUZZ_TARGETS    which targets, space-separated (default all)
#   HALYX_FUZZ_TIMEOUT    seconds one input may take before it counts as a finding (default 20)
# Exits non-zero when a target found something; its input is named in the report.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh

seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET]" >&2; exit 2; }
build=${HALYX_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${HALYX_FUZZ_JOBS:-2}
targets=(${HALYX_FUZZ_TARGETS:-sth_envelope proof dcbor mtac_leaf inclusion_walk verify mldsa_differential manifest record_search})

scripts/setup.sh clang-16 libclang-rt-16-dev

CC=clang-16 CXX=clang++-16 configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
  -DHALYX_BUILD_TESTS=OFF -DHALYX_BUILD_FUZZERS=ON
cmake --build "$build" -j"$jobs" --target "${targets[@]/%/_fuzz}"

runs="$build/fuzz-runs"
# AddressSanitizer keeps every distinct allocation stack it sees; the dCBOR decoder's deep value
# trees and varied inputs make new ones without end, and with 30 frames (the default) a long run
# grows past libFuzzer's memory limit with no leak at all. Ten frames keep it flat. To see full stacks for a finding, run its
# input alone: build-fuzz/fuzz/<target>_fuzz <input>.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=10}
# Runs one target in its own directory: a fresh copy of the seeds, libFuzzer's log, and the
# artefacts (crash-*, leak-*, timeout-*, oom-*) it writes when it finds something.
run_target() {
  local t=$1 dir="$runs/$1"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp fuzz/corpus/"$t"/* "$dir/corpus/"
  local dict=()
  [[ -f fuzz/dict/$t.dict ]] && dict=(-dict="$PWD/fuzz/dict/$t.dict")
  # Inputs are small, so an allocation past 128 MiB can only come from a size the input declared.
  "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout="${HALYX_FUZZ_TIMEOUT:-20}" -malloc_limit_mb=128 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "${dict[@]}" "$dir/corpus" >"$dir/log" 2>&1 || true
}

echo "fuzz: ${#targets[@]} targets, $seconds s each, $jobs at a time"
running=0
for t in "${targets[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  if (( running >= jobs )); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

found=0
printf '%-20s %14s  %s\n' target executions result
for t in "${targets[@]}"; do
  dir="$runs/$t"
  execs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$dir/log" | grep -oE '[0-9]+$' | tail -1 || true)
  [[ -n $execs ]] || execs=$(grep -oE '^#[0-9]+' "$dir/log" | tail -1 | tr -d '#' || true)
  artefacts=$(find "$dir/artifacts" -type f | sort)
  if [[ -n $artefacts ]]; then
    found=1
    printf '%-20s %14s  FOUND: %s (log: %s)\n' "$t" "${execs:-?}" "$(echo $artefacts)" "$dir/log"
  elif grep -qE '^==[0-9]+==ERROR|deadly signal|property violated' "$dir/log"; then
    found=1
    printf '%-20s %14s  FOUND (see %s)\n' "$t" "${execs:-?}" "$dir/log"
  else
    printf '%-20s %14s  nothing found\n' "$t" "${execs:-?}"
  fi
done
exit "$found"
