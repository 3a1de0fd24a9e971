#!/usr/bin/env bash
# Mutation testing: configures a Release build tree of its own (build-mutants/, or
# $HALYX_MUTANTS_BUILD_DIR), then runs scripts/mutants.py there with the arguments given, e.g.
#   scripts/mutants.sh --seed 1234 --count 400     # a seeded sample, reported in build-mutants/mutants/
#   scripts/mutants.sh --rerun build-mutants/mutants/report-seed1234-n400.json   # its survivors again
# HALYX_DEPS_CACHE, when set, is where the OpenSSL that the tests use is built and kept, so that an
# existing build of it can be reused.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh
scripts/setup.sh

build=${HALYX_MUTANTS_BUILD_DIR:-build-mutants}
args=(-DCMAKE_BUILD_TYPE=Release)
[[ -n ${HALYX_DEPS_CACHE:-} ]] && args+=("-DHALYX_DEPS_CACHE=$HALYX_DEPS_CACHE")
configure "$build" "${args[@]}"
exec /usr/bin/python3 scripts/mutants.py --build-dir "$build" "$@"
