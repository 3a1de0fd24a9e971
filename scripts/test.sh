#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests and the Python tests, under ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
ctest --test-dir "${HALYX_BUILD_DIR:-build}" --output-on-failure
