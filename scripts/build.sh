#!/usr/bin/env bash
# Configures and builds the project in build/ (or $HALYX_BUILD_DIR), installing what is missing
# first. Extra arguments go to CMake's configure step, e.g. -DHALYX_MLDSA_BACKEND=openssl.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh

scripts/setup.sh
build=${HALYX_BUILD_DIR:-build}
configure "$build" "$@"
cmake --build "$build" -j"$(nproc)"
