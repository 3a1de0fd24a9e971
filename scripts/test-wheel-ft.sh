#!/usr/bin/env bash
# Tests the module under a free-threaded CPython 3.13 (3.13t), where calls run side by side:
#   1. scripts/ft-python.sh builds the interpreter from Debian 13's source under .cache/ (once;
#      later runs reuse it), and the tools pinned in scripts/ft-tools.txt are downloaded once into
#      a folder beside it;
#   2. the module is built for that interpreter's own ABI (the free-threaded build has no stable
#      ABI), and a fresh virtual environment of the interpreter gets pytest from that folder;
#   3. there, importing the module must leave the GIL disabled, the bundled sample must verify,
#      and the Python tests must pass, threads verifying at once among them;
#   4. the throughput of two threads against one is printed, as a figure, not a verdict: it
#      depends on what else the machine runs.
# $HALYX_DEPS_CACHE moves the cache (default: .cache/ in the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${HALYX_BUILD_DIR:-build}
cache=${HALYX_DEPS_CACHE:-$root/.cache}
fail() { echo "test-wheel-ft: $*" >&2; exit 1; }
step() { echo "test-wheel-ft: $1 ($((SECONDS - step_started)) s)"; step_started=$SECONDS; }
step_started=$SECONDS

recipe=$(sha256sum scripts/ft-python.sh | cut -c1-12)
prefix="$cache/ft-python-$recipe"
mkdir -p "$cache"
scripts/ft-python.sh "$prefix"
python="$prefix/bin/python3.13t"
step "free-threaded CPython $("$python" -c 'import platform; print(platform.python_version())') in $prefix"

# The pinned wheels, fetched by Debian's pip for CPython 3.13: the interpreter has no ssl module,
# so its own pip installs only from local files.
tools_list=scripts/ft-tools.txt
wheelhouse="$cache/ft-tools-$(sha256sum "$tools_list" | cut -c1-12)"
if [[ ! -f $wheelhouse/.complete ]]; then
  rm -rf "$wheelhouse"
  mkdir -p "$wheelhouse"
  if ! /usr/bin/python3 -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: \
       --python-version 3.13 --implementation cp -r "$tools_list" -d "$wheelhouse" >"$wheelhouse/download.log" 2>&1; then
    cat "$wheelhouse/download.log" >&2
    fail "could not download $tools_list"
  fi
  touch "$wheelhouse/.complete"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The module, built by CMake for the interpreter, as the wheel's build does.
tree="$root/$build/ft-cmake"
source scripts/configure.sh
configure "$tree" -DPython3_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release -DHALYX_BUILD_TESTS=OFF \
  -DHALYX_BUNDLE_DEPS=ON -DHALYX_MLDSA_BACKEND=native ${HALYX_CMAKE_ARGS:-}
cmake --build "$tree" --target halyx_verifier -j"$(nproc)" >"$tree/build.log" 2>&1 ||
  { tail -n 40 "$tree/build.log" >&2; fail "the module did not build"; }
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="$tree/halyx-verifier-py/halyx_verifier$suffix"
[[ -f $module ]] || fail "the build made no halyx_verifier$suffix"
step "the module $(basename "$module"), $(stat -c %s "$module") bytes"

venv="$scratch/venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index --find-links "$wheelhouse" \
  pytest >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "could not install pytest from $wheelhouse"; }
site=$(dirname "$module")
step "a virtual environment with pytest"

# ft_python ARGUMENT...: the environment's interpreter, importing the module from the build, with
# no PYTHON_GIL to force the lock either way.
ft_python() {
  (cd / && env -u PYTHON_GIL -u HALYX_MODULE_DIR PYTHONPATH="$site" "$venv/bin/python" "$@")
}

# Importing a module that does not declare itself free of the GIL turns the GIL on, with a warning.
report=$(ft_python -W error -c 'import sys, halyx_verifier; print(halyx_verifier.__file__, sys._is_gil_enabled())')
[[ $report == "$module False" ]] || fail "after importing the module: $report (want $module False)"
ft_python "$root/examples/verify_sample.py" "$root/examples/sample"
step "import keeps the GIL disabled; the sample verifies"

# Left out: the out-of-memory test, which fills the heap under an address-space cap over and over.
# The free-threaded build's allocator (mimalloc) takes about 100 s for that here against 3 s for
# the GIL build's, and what it adds is a measure of that allocator; the module's own answer to a
# failed allocation is the same code, tested under every GIL build.
env -u PYTHON_GIL HALYX_MODULE_DIR="$site" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  --deselect halyx-verifier-py/tests/test_hostile_input.py::test_running_out_of_memory_raises_memory_error_and_recovers \
  halyx-verifier-py/tests
step "the Python tests under 3.13t"

ft_python "$root/bench/thread_scaling.py"
step "thread scaling"
