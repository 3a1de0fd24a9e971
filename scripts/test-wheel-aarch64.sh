#!/usr/bin/env bash
# Tests the aarch64 wheel, cross-built on this machine and run under emulation:
#   1. scripts/arm64-python.sh unpacks Debian 12's arm64 CPython 3.11, its headers and pytest under
#      .cache/ (once; later runs reuse it);
#   2. the cp311-abi3 wheel is cross-compiled by the build backend with Debian's
#      g++-aarch64-linux-gnu against those headers, and auditwheel must give it manylinux_2_17
#      (scripts/retag-wheel.sh), the glibc the project promises. It must carry the notices and the
#      SBOM of what it contains, and the ecosystem's checkers must accept it
#      (scripts/ecosystem-check.sh);
#   3. pip installs it into a folder as for an aarch64 machine, and the arm64 CPython, run by
#      qemu-aarch64-static, imports it from there, verifies the bundled sample and runs the Python
#      tests, within a time bound. Left out: test_hostile_input.py, whose children cannot start
#      (an aarch64 program runs only through qemu here) and whose whole-process memory limits would
#      measure qemu rather than the module.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${HALYX_BUILD_DIR:-build}
# The promise of scripts/test-wheel.sh; glibc 2.17 is also the first release for aarch64.
PROMISED_GLIBC=2.17
# Emulation is 10-30 times slower than native code: the tests take about half a minute natively
# here, so ten minutes means something hangs.
TEST_TIMEOUT=600

fail() { echo "test-wheel-aarch64: $*" >&2; exit 1; }

recipe=$(sha256sum scripts/arm64-python.sh | cut -c1-12)
python_root="$root/.cache/arm64-python-$recipe"
scripts/arm64-python.sh "$python_root"

dist="$root/$build/dist-aarch64"
site="$root/$build/aarch64-site"
rm -rf "$dist" "$site"
tools=$(scripts/wheel-tools.sh)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
started=$SECONDS
# The backend tags a wheel with the platform of the Python that builds it, unless told the host's.
if ! _PYTHON_HOST_PLATFORM=linux-aarch64 \
     CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/aarch64-linux-gnu.cmake
                 -DPython3_INCLUDE_DIR=$python_root/usr/include/python3.11
                 -DCMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES=$python_root/usr/include ${CMAKE_ARGS:-}" \
     "$tools/python" -m build --wheel --no-isolation -C build-dir="$root/$build/wheel-aarch64-cmake" \
       --outdir "$raw" . >"$raw/build.log" 2>&1; then
  cat "$raw/build.log" >&2
  fail "the aarch64 wheel build failed"
fi
tag=manylinux_${PROMISED_GLIBC/./_}_aarch64
wheel=$(scripts/retag-wheel.sh --plat "$tag" "$dist" "$raw"/*.whl)
/usr/bin/python3 scripts/notices_check.py "$wheel"
scripts/ecosystem-check.sh "$wheel"
echo "test-wheel-aarch64: $(basename "$wheel"), $(stat -c %s "$wheel") bytes, tagged $tag," \
     "built in $((SECONDS - started)) s"

/usr/bin/python3 -m pip install --no-index --no-deps --quiet --root-user-action=ignore --target "$site" --platform "$tag" \
  --python-version 3.11 --implementation cp --only-binary=:all: "$wheel"

# emulated ARGUMENT...: the arm64 CPython under qemu, importing only what $site installs, and
# stopped after $TEST_TIMEOUT seconds.
emulated() {
  env -u HALYX_MODULE_DIR PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 timeout "$TEST_TIMEOUT" \
    qemu-aarch64-static -L "$python_root" "$python_root/usr/bin/python3.11" "$@"
}

started=$SECONDS
installed=$(cd / && emulated -c 'import platform, halyx_verifier; print(platform.machine(), halyx_verifier.__file__)')
[[ $installed == "aarch64 $site/"* ]] || fail "the emulated Python imported '$installed', not the aarch64 wheel"
(cd / && emulated "$root/examples/verify_sample.py" "$root/examples/sample")
emulated -m pytest -q -p no:cacheprovider --ignore=halyx-verifier-py/tests/test_hostile_input.py \
  halyx-verifier-py/tests || fail "the Python tests failed, or ran over $TEST_TIMEOUT s, under emulation"
echo "test-wheel-aarch64: imported, verified the sample and ran the Python tests under qemu in" \
     "$((SECONDS - started)) s"
