#!/usr/bin/env bash
# Builds the cp311-abi3 wheel, installs it into a fresh virtual environment and runs the Python
# tests and the type-stub check against the installed module (not the build tree's).
set -euo pipefail
cd "$(dirname "$0")/.."

# The portability check first, on modules made to fail it: it judges every wheel below.
/usr/bin/python3 -m pytest -q -p no:cacheprovider scripts/tests

build=${HALYX_BUILD_DIR:-build}
dist="$build/dist"
venv="$PWD/$build/wheel-venv"
rm -rf "$dist" "$venv"

HALYX_WHEEL_BUILD_DIR="$PWD/$build/wheel-cmake" \
  /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps --quiet --wheel-dir "$dist" .
wheel=$(ls "$dist"/halyx_verifier-*-cp311-abi3-*.whl)
echo "test-wheel: built $(basename "$wheel")"

/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-index --no-deps --quiet "$wheel"
installed=$(cd /tmp && "$venv/bin/python" -c "import halyx_verifier; print(halyx_verifier.__file__)")
[[ $installed == "$venv/"* ]] || { echo "test-wheel: imported $installed, not the wheel" >&2; exit 1; }

# mypy finds stubs in site-packages only for packages, so the installed stub is checked against the
# installed module from a folder of its own.
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
cp "$(dirname "$installed")/halyx_verifier.pyi" "$stubs/"
(cd /tmp && MYPYPATH="$stubs" "$venv/bin/python" -m mypy.stubtest halyx_verifier)
env -u HALYX_MODULE_DIR "$venv/bin/python" -m pytest -q -p no:cacheprovider halyx-verifier-py/tests
