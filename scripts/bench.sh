#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ (or $HALYX_BENCH_BUILD_DIR) and runs them: the C++ benchmarks
# of the core, then the Python benchmark of verify_inclusion against raw ML-DSA-65 verifications.
# Arguments go to the Python benchmark (e.g. --rounds 300); Google Benchmark reads its flags from
# BENCHMARK_* variables too (e.g. BENCHMARK_REPETITIONS=5). Timings move with the machine's load:
# compare ratios within one run, never absolute times across runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=${HALYX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 -DHALYX_WERROR=ON \
  -DHALYX_BUILD_BENCHMARKS=ON | grep -E "ML-DSA-65 backend|OpenSSL 3.5|build-openssl" || true
cmake --build "$build" -j"$(nproc)" --target halyx_core_bench _halyx_bench halyx_verifier

echo "== machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/halyx_core_bench"
echo
/usr/bin/python3 bench/bench_verify.py --build-dir "$build" "$@"
