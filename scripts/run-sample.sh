#!/usr/bin/env bash
# The main job: builds the module if needed, then verifies the bundled sample artefacts and prints
# the result (and shows a tampered leaf being refused).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh >/dev/null
PYTHONPATH="$PWD/${HALYX_BUILD_DIR:-build}/halyx-verifier-py" /usr/bin/python3 examples/verify_sample.py "$@"
