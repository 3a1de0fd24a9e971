#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the project's own sources, using the compile commands
# of a configured build tree (default build/). g++ 12 builds the project, but clang 16 cannot read
# libstdc++ 12's <expected>, so the analysis parses against libc++ 16 instead.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-${HALYX_BUILD_DIR:-build}}
[[ -f $build/compile_commands.json ]] || { echo "clang-tidy: configure $build first" >&2; exit 1; }
mapfile -t files < <(git ls-files 'dcbor/src/*.cpp' 'halyx-core/src/*.cpp' 'halyx-verifier-py/src/*.cpp' 'halyx-cli/src/*.cpp' |
                     grep -v '_liboqs\.cpp$')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
run-clang-tidy-16 -quiet -p "$build" -j "$(nproc)" \
  -extra-arg=-std=c++2b -extra-arg=-stdlib=libc++ -extra-arg=-Wno-unknown-warning-option \
  "${files[@]}" >"$log" 2>&1 || status=$?
if (( status != 0 )) || grep -q -E "(warning|error):" "$log"; then
  grep -E -A3 "(warning|error):" "$log" >&2 || cat "$log" >&2
  echo "clang-tidy: findings in the files above" >&2
  exit 1
fi
echo "clang-tidy: ${#files[@]} files clean"
