#!/usr/bin/env bash
# Tests the Python package as a user gets it, built by the build backend (scikit-build-core, with
# the tools pinned in scripts/wheel-tools.txt) and retagged by auditwheel (scripts/retag-wheel.sh):
#   1. wheel_check.py and notices_check.py, on artefacts made to fail them: they judge every
#      artefact below;
#   2. the cp311-abi3 wheel: auditwheel must give it manylinux_2_17 (the glibc the project
#      promises), report that tag as its own, and abi3audit, check-wheel-contents and twine accept
#      it (scripts/ecosystem-check.sh); it must carry the notices and the SBOM of what its module
#      contains, and the module must stay within its size budget. A fresh virtual environment of
#      Debian's Python installs it for the Python tests and the types (mypy's stubtest and a typed
#      program under mypy --strict, finding the stub by the package's py.typed); one of every other
#      CPython 3.11+ on the machine (pyenv's) installs it and verifies the bundled sample;
#   3. a wheel with the OpenSSL backend, which links libcrypto: the tag auditwheel proves, OpenSSL's
#      notice and SBOM entry, the sample (and the same with liboqs when $HALYX_LIBOQS_PREFIX names a
#      static liboqs install);
#   4. the sdist: it holds no tests, fuzzers, benchmarks, examples or OpenSSL recipe, carries the
#      licence and notices, is the same bytes when built twice, and unpacked into a fresh folder it
#      builds a wheel without network, apt or any download (see build_offline) that is the same
#      bytes as the wheel built from the tree: both builds are reproducible (SOURCE_DATE_EPOCH, the
#      commit's time by default).
# $CMAKE_ARGS reaches every wheel build (scikit-build-core reads it), e.g. -DHALYX_DEPS_CACHE=DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

/usr/bin/python3 -m pytest -q -p no:cacheprovider scripts/tests

build=${HALYX_BUILD_DIR:-build}
dist="$root/$build/dist"
venv="$root/$build/wheel-venv"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf "$dist" "$venv"
tools=$(scripts/wheel-tools.sh)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

fail() { echo "test-wheel: $*" >&2; exit 1; }

# build_wheel OUT_DIR PLAT CONFIG_SETTING...: the backend's wheel of this tree, retagged to PLAT
# (or what auditwheel proves, for auto) into OUT_DIR. Each variant keeps its CMake tree under the
# build folder between runs.
build_wheel() {
  local out=$1 plat=$2 raw
  shift 2
  raw=$(mktemp -d -p "$scratch")
  "$tools/python" -m build --wheel --no-isolation --outdir "$raw" "$@" . >"$raw/build.log" 2>&1 ||
    { cat "$raw/build.log" >&2; fail "the wheel build failed"; }
  scripts/retag-wheel.sh --plat "$plat" "$out" "$raw"/*.whl
}

# check_wheel WHEEL: the notices and SBOM of what it contains, and the ecosystem's checkers
# (wheel_check.py judged it when it was retagged).
check_wheel() {
  /usr/bin/python3 scripts/notices_check.py "$1"
  scripts/ecosystem-check.sh "$1"
  echo "test-wheel: $(basename "$1"), $(stat -c %s "$1") bytes"
}

# install_into PYTHON VENV WHEEL [VENV_OPTION...]: a fresh virtual environment that installs the
# wheel from the file alone and imports the module from there, not from the source tree.
install_into() {
  local python=$1 env=$2 wheel=$3 installed
  shift 3
  rm -rf "$env"
  "$python" -m venv "$@" "$env"
  "$env/bin/python" -m pip install --no-index --no-deps --quiet "$wheel"
  installed=$(cd / && "$env/bin/python" -c "import halyx_verifier; print(halyx_verifier.__file__)")
  [[ $installed == "$env/"* ]] || fail "$python imported $installed, not the wheel"
}

# verify_sample VENV: the example a user would run first, from outside the source tree.
verify_sample() {
  (cd / && "$1/bin/python" "$root/examples/verify_sample.py" "$root/examples/sample")
}

started=$SECONDS
wheel=$(build_wheel "$dist" "manylinux_2_17_$(uname -m)" -C build-dir="$root/$build/wheel-cmake")
echo "test-wheel: the wheel took $((SECONDS - started)) s"
check_wheel "$wheel"

# Debian's interpreter, with its pytest and mypy from the system's site-packages.
install_into /usr/bin/python3 "$venv" "$wheel" --system-site-packages
module=$(cd / && "$venv/bin/python" -c "import halyx_verifier; print(halyx_verifier.__file__)")
size=$(stat -c %s "$module")
echo "test-wheel: the module is $size bytes"
# The budget is the default build's; liboqs, for one, adds its own ML-DSA to libcrypto's.
if (( size > 1500000 )); then
  fail "the module is $size bytes, over its 1.5 MB budget"
fi
# The types as a user's type checker gets them: mypy must find the installed package's stub through
# its py.typed alone (no MYPYPATH, from a folder outside the source tree), stubtest must find it
# true to the installed module, and a typed program over the whole API must pass mypy --strict,
# then run.
mkdir "$scratch/typing"
(cd "$scratch/typing" &&
 env -u MYPYPATH "$venv/bin/python" -m mypy.stubtest halyx_verifier &&
 env -u MYPYPATH "$venv/bin/python" -m mypy --strict "$root/halyx-verifier-py/tests/typed_program.py" &&
 "$venv/bin/python" "$root/halyx-verifier-py/tests/typed_program.py" "$root/examples/sample") ||
  fail "the installed package's types do not hold"
env -u HALYX_MODULE_DIR "$venv/bin/python" -m pytest -q -p no:cacheprovider halyx-verifier-py/tests
verify_sample "$venv"

for python in "$HOME"/.pyenv/versions/3.1[1-9]*/bin/python3; do
  [[ -x $python ]] || continue
  version=$("$python" -c 'import platform; print(platform.python_version())')
  echo "test-wheel: CPython $version"
  install_into "$python" "$scratch/venv-$version" "$wheel"
  verify_sample "$scratch/venv-$version"
done

# A backend that links its library into the module: the wheel must carry that library's notice
# and name it in its SBOM, and gets the tag auditwheel proves for what the library asks of glibc.
# OpenSSL is built for the tests anyway; liboqs is only where one was built (never in CI).
variants=("openssl:-Ccmake.define.HALYX_MLDSA_BACKEND=openssl")
if [[ -n ${HALYX_LIBOQS_PREFIX:-} ]]; then
  variants+=("liboqs:-Ccmake.define.HALYX_MLDSA_BACKEND=liboqs -Ccmake.define.CMAKE_PREFIX_PATH=$HALYX_LIBOQS_PREFIX")
else
  echo "test-wheel: no liboqs wheel (set HALYX_LIBOQS_PREFIX to a static liboqs install to build one)"
fi
for variant in "${variants[@]}"; do
  name=${variant%%:*}
  echo "test-wheel: the $name backend"
  read -ra settings <<<"${variant#*:}"
  variant_wheel=$(build_wheel "$scratch/dist-$name" auto -C build-dir="$root/$build/wheel-$name-cmake" "${settings[@]}")
  check_wheel "$variant_wheel"
  install_into /usr/bin/python3 "$scratch/venv-$name" "$variant_wheel"
  verify_sample "$scratch/venv-$name"
done

# real_tool NAME: the program that NAME runs. A pyenv shim is a bash script that finds its program
# through PATH and pyenv's own files, so it cannot serve from a folder that holds nothing else.
real_tool() {
  local path
  path=$(command -v "$1")
  if [[ $path == */.pyenv/shims/* ]]; then pyenv which "$1"; else echo "$path"; fi
}

# build_offline SOURCE_DIR WHEEL_DIR: builds a wheel from SOURCE_DIR as a user without network
# would, proving that nothing is downloaded: in a network namespace of its own (where the kernel
# allows one), with a PATH that holds only the compiler, binutils, CMake and Ninja (no apt-get,
# curl or wget), pip told to use no index, and with a fresh dependency cache that must still be
# empty afterwards. The build backend comes from the pinned tools' environment.
build_offline() {
  local src=$1 out=$2 python="$tools/python" tools="$scratch/offline-bin" cache="$scratch/empty-deps-cache" isolate=()
  mkdir -p "$tools" "$cache"
  # Debian's Python names its compilers by triplet, and the backend takes them from there.
  for tool in c++ g++ cc gcc "$(uname -m)-linux-gnu-gcc" "$(uname -m)-linux-gnu-g++" \
              as ld ar ranlib nm objcopy objdump readelf strip cmake ninja; do
    ln -sf "$(real_tool "$tool")" "$tools/$tool"
  done
  if unshare --net --map-root-user true 2>/dev/null; then
    isolate=(unshare --net --map-root-user)
  elif unshare --net true 2>/dev/null; then
    isolate=(unshare --net)
  else
    echo "test-wheel: no network namespace here; apt-get and downloaders are still out of reach" >&2
  fi
  (cd "$src" &&
   "${isolate[@]}" env PATH="$tools" CMAKE_ARGS="${CMAKE_ARGS:-} -DHALYX_DEPS_CACHE=$cache" \
     "$python" -m pip wheel --no-index --no-build-isolation --no-deps --quiet --wheel-dir "$out" .)
  [[ -z $(ls -A "$cache") ]] || fail "the sdist build put $(ls "$cache") into its dependency cache"
  echo "test-wheel: the sdist built ${isolate[*]:+in its own network namespace, }with PATH $tools only"
}

echo "test-wheel: sdist"
started=$SECONDS
for copy in 1 2; do
  "$tools/python" -m build --sdist --no-isolation --outdir "$scratch/sdist-$copy" . >/dev/null
done
sdist=$(ls "$scratch"/sdist-1/halyx_verifier-*.tar.gz)
cmp "$sdist" "$scratch/sdist-2/$(basename "$sdist")" || fail "two builds of the sdist differ"
mkdir -p "$dist"
cp "$sdist" "$dist/"
echo "test-wheel: the sdist, built twice the same in $((SECONDS - started)) s"
unwanted=$(tar -tzf "$sdist" | grep -E '/(tests|fuzz|bench|examples|tools|build[^/]*|\.cache|\.git)/|/build-openssl\.sh$' || true)
[[ -z $unwanted ]] || fail "the sdist holds what no build reads: $unwanted"
/usr/bin/python3 scripts/notices_check.py "$sdist"
scripts/ecosystem-check.sh "$sdist"
tar -xzf "$sdist" -C "$scratch"
started=$SECONDS
build_offline "$(ls -d "$scratch"/halyx_verifier-*/)" "$scratch/dist-sdist-raw"
sdist_wheel=$(scripts/retag-wheel.sh "$scratch/dist-sdist" "$scratch"/dist-sdist-raw/*.whl)
echo "test-wheel: the sdist's wheel took $((SECONDS - started)) s"
cmp "$sdist_wheel" "$wheel" ||
  fail "the wheel built from the sdist differs from the one built from the tree: the build is not reproducible"
echo "test-wheel: the sdist's wheel is the same bytes as the tree's (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
install_into /usr/bin/python3 "$scratch/venv-sdist" "$sdist_wheel"
verify_sample "$scratch/venv-sdist"
