#!/usr/bin/env bash
# Configures and builds the project in build/ (or $HALYX_BUILD_DIR), installing what is missing
# first. Extra arguments go to CMake's configure step, e.g. -DHALYX_MLDSA_BACKEND=openssl.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=${HALYX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 -DHALYX_WERROR=ON "$@" \
  | grep -E "ML-DSA-65 backend|OpenSSL 3.5|build-openssl" || true
cmake --build "$build" -j"$(nproc)"
