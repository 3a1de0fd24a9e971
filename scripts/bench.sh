#!/usr/bin/env bash
# Builds the benchmarks and runs them: the C++ benchmarks of the core, then the Python benchmark of
# verify_inclusion on several builds side by side. The builds, each in its own tree:
#   build-bench           the native ML-DSA-65 verifier on the CPU's best path
#   build-bench-portable  the native verifier pinned to its portable path
#   build-bench-openssl   OpenSSL 3.5's ML-DSA-65
#   build-bench-liboqs    liboqs, only when HALYX_BENCH_LIBOQS names an installed liboqs prefix
# Arguments go to the Python benchmark (e.g. --rounds 300); Google Benchmark reads its flags from
# BENCHMARK_* variables too (e.g. BENCHMARK_REPETITIONS=5). Timings move with the machine's load:
# compare ratios within one run, never absolute times across runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh
scripts/setup.sh

configs=("build-bench" "build-bench-portable -DHALYX_MLDSA_PATH=portable"
         "build-bench-openssl -DHALYX_MLDSA_BACKEND=openssl")
if [[ -n ${HALYX_BENCH_LIBOQS:-} ]]; then
  configs+=("build-bench-liboqs -DHALYX_MLDSA_BACKEND=liboqs -DCMAKE_PREFIX_PATH=$HALYX_BENCH_LIBOQS")
fi
for config in "${configs[@]}"; do
  read -r -a words <<<"$config"
  configure "${words[0]}" -DHALYX_BUILD_BENCHMARKS=ON "${words[@]:1}"
  cmake --build "${words[0]}" -j"$(nproc)" --target halyx_core_bench _halyx_bench halyx_verifier
done

echo "== machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
build-bench/bench/halyx_core_bench
echo
/usr/bin/python3 bench/bench_verify.py "$@"
