#!/usr/bin/env bash
# The main job: builds the module if needed, then verifies the bundled sample artefacts and prints
# the result (and shows a tampered leaf being refused). It builds in build-sample/ without the tests,
# so it needs no OpenSSL: the default module verifies ML-DSA-65 itself.
set -euo pipefail
cd "$(dirname "$0")/.."

HALYX_BUILD_DIR=build-sample scripts/build.sh -DHALYX_BUILD_TESTS=OFF >/dev/null
PYTHONPATH="$PWD/build-sample/halyx-verifier-py" /usr/bin/python3 examples/verify_sample.py "$@"
