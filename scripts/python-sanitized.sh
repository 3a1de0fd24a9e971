#!/usr/bin/env bash
# Runs a Python command against a module built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/python-sanitized.sh PYTHON ARGS...
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded. Objects the
# interpreter still holds at exit are its own business, so leak reports go to a log instead of
# failing the run; the run fails if any reported leak was allocated from inside this project's code
# (a frame in the module or its libraries), or if ASan or UBSan stopped the process.
set -uo pipefail

python=$1
shift
libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
logdir=$(mktemp -d)
trap 'rm -rf "$logdir"' EXIT

export LD_PRELOAD="$libasan $libubsan"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="exitcode=0:log_path=$logdir/leak:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc

"$python" "$@"
status=$?

ours=$(cat "$logdir"/leak.* 2>/dev/null | awk '
  /^(Direct|Indirect) leak/ { block = $0; next }
  block != "" && /^ *#[0-9]/ { block = block "\n" $0; if ($0 ~ /halyx|dcbor/) hit = 1; next }
  block != "" { if (hit) print block "\n"; block = ""; hit = 0 }
  END { if (hit) print block }')
if [[ -n $ours ]]; then
  echo "python-sanitized: leaks allocated by this project's code:" >&2
  echo "$ours" >&2
  exit 1
fi
if grep -q "ERROR: AddressSanitizer" "$logdir"/leak.* 2>/dev/null; then
  cat "$logdir"/leak.* >&2
  exit 1
fi
exit $status
