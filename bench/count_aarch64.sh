#!/usr/bin/env bash
# Counts the aarch64 instructions one verification executes on each aarch64 path, under
# qemu-user: an instruction count, a proxy for speed and never a time (no aarch64 hardware here;
# time under emulation means nothing). Cross-builds bench/count_call.cpp (halyx_count_call) in a
# tree of its own (the test step's checks every kernel's ranges, which would be counted too) and runs it under qemu-aarch64-static with -singlestep
# and -d exec,nochain, which logs one "Trace" line per instruction executed. Each figure is the
# difference between runs of 3 calls and of 1, halved, so that start-up, loading the sample and
# the first call's path selection drop out. Rows:
#   portable, neon, neon_sha3   the STH signature's verification (prepare and decide, as a call
#                               makes them) with that path forced, under qemu's max model;
#   call (max | cortex-a72)     a whole successful verify_inclusion over examples/sample, on the
#                               path the process selects: neon_sha3 under max, neon under a
#                               Cortex-A72 (no SHA-3), both with the SHA-2 instructions.
# Repeatable to the instruction (in one checkout: the sample's path is part of what a run reads);
# takes about two minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${HALYX_BUILD_DIR:-build}
tree="$root/$build/aarch64-count"
[[ -f $tree/build.ninja ]] ||
  cmake -S . -B "$tree" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -DHALYX_BUILD_TESTS=OFF -DHALYX_BUILD_MLDSA_TESTS_ONLY=ON -DCMAKE_BUILD_TYPE=Release \
    -DHALYX_DEPS_CACHE="${HALYX_DEPS_CACHE:-$root/.cache}" >/dev/null
ninja -C "$tree" halyx_count_call >/dev/null
program="$tree/halyx-core/halyx_count_call"

# count MODEL WHAT CALLS: instructions executed by one run.
count() {
  local fifo n
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  grep -c '^Trace' <"$fifo" >"$fifo.n" &
  qemu-aarch64-static -cpu "$1" -singlestep -d exec,nochain -D "$fifo" -L /usr/aarch64-linux-gnu \
    "$program" "$root/examples/sample" "$2" "$3" || { echo "count_aarch64: $2 failed under -cpu $1" >&2; exit 1; }
  wait
  n=$(cat "$fifo.n")
  rm -f "$fifo" "$fifo.n"
  echo "$n"
}
per_call() { local one three; one=$(count "$1" "$2" 1); three=$(count "$1" "$2" 3); echo $(((three - one) / 2)); }

portable=$(per_call max portable)
printf '%-28s %12s %10s\n' "aarch64 path (qemu -cpu)" "instructions" "/ portable"
for row in "portable max portable" "neon max neon" "neon_sha3 max neon_sha3" \
           "call, neon_sha3 max call" "call, neon cortex-a72 call"; do
  read -r -a f <<<"$row"
  what=${f[-1]} model=${f[-2]} label="${f[*]:0:${#f[@]}-2}"
  n=$([[ $what == portable ]] && echo "$portable" || per_call "$model" "$what")
  printf '%-28s %12d %10s\n' "$label ($model)" "$n" "$(python3 -c "print(f'{$n / $portable:.3f}')")"
done
