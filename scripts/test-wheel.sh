#!/usr/bin/env bash
# Tests the Python package as a user gets it:
#   1. wheel_check.py and notices_check.py, on artefacts made to fail them: they judge every
#      artefact below;
#   2. the cp311-abi3 wheel: its name must carry exactly the manylinux tag its module proves, no
#      newer than the glibc the project promises (when built with the defaults), with the notices
#      of what its module contains, and the module must stay within its size budget. A fresh
#      virtual environment of Debian's Python installs it for the Python tests and the type-stub
#      check; one of every other CPython 3.11+ on the machine (pyenv's) installs it and verifies the
#      bundled sample;
#   3. a wheel with the OpenSSL backend, which links libcrypto: its tag, OpenSSL's notice, the
#      sample (and the same with liboqs when $HALYX_LIBOQS_PREFIX names a static liboqs install);
#   4. the sdist: it holds no tests, fuzzers, benchmarks, examples or OpenSSL recipe, carries the
#      licence and notices, and unpacked into a fresh folder it builds a wheel without network,
#      apt or any download (see build_offline), that passes the same checks and verifies the sample.
# $HALYX_CMAKE_ARGS reaches every wheel build, so the same checks run on, say, a liboqs wheel:
#   HALYX_CMAKE_ARGS="-DHALYX_MLDSA_BACKEND=liboqs -DCMAKE_PREFIX_PATH=/opt/liboqs" scripts/test-wheel.sh
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

fail() { echo "test-wheel: $*" >&2; exit 1; }

# The oldest glibc that default wheels promise (manylinux2014's): wheel_check.py fails when a
# module asks for anything newer, naming the symbols, and when pip on that glibc would refuse it.
PROMISED_GLIBC=2.17

# check_tag WHEEL [--at-most 2.NN]: wheel_check.py must accept the wheel, its name carry exactly the
# tag proved, the wheel carry the notices of what it contains, and auditwheel, abi3audit,
# check-wheel-contents and twine accept it (scripts/ecosystem-check.sh).
check_tag() {
  local wheel=$1 tag
  shift
  tag=$(/usr/bin/python3 scripts/wheel_check.py "$@" "$wheel")
  [[ $(basename "$wheel") == *"-$tag.whl" ]] || fail "$(basename "$wheel") is not tagged $tag, which its module proves"
  /usr/bin/python3 scripts/notices_check.py "$wheel"
  scripts/ecosystem-check.sh "$wheel"
  echo "test-wheel: $(basename "$wheel"), $(stat -c %s "$wheel") bytes, proves $tag"
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

# The promise holds for wheels built with the defaults; other backends bring their library's needs.
promise=()
[[ -z ${HALYX_CMAKE_ARGS:-} ]] && promise=(--at-most "$PROMISED_GLIBC")

HALYX_WHEEL_BUILD_DIR="$root/$build/wheel-cmake" \
  /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps --quiet --wheel-dir "$dist" .
wheel=$(ls "$dist"/halyx_verifier-*-cp311-abi3-*.whl)
check_tag "$wheel" "${promise[@]}"

# Debian's interpreter, with its pytest and mypy from the system's site-packages.
install_into /usr/bin/python3 "$venv" "$wheel" --system-site-packages
module=$(cd / && "$venv/bin/python" -c "import halyx_verifier; print(halyx_verifier.__file__)")
size=$(stat -c %s "$module")
echo "test-wheel: the module is $size bytes"
# The budget is the default build's; liboqs, for one, adds its own ML-DSA to libcrypto's.
if [[ -z ${HALYX_CMAKE_ARGS:-} ]] && (( size > 1500000 )); then
  fail "the module is $size bytes, over its 1.5 MB budget"
fi
# mypy finds stubs in site-packages only for packages, so the installed stub is checked against the
# installed module from a folder of its own.
mkdir "$scratch/stubs"
cp "$(dirname "$module")/halyx_verifier.pyi" "$scratch/stubs/"
(cd /tmp && MYPYPATH="$scratch/stubs" "$venv/bin/python" -m mypy.stubtest halyx_verifier)
env -u HALYX_MODULE_DIR "$venv/bin/python" -m pytest -q -p no:cacheprovider halyx-verifier-py/tests
verify_sample "$venv"

for python in "$HOME"/.pyenv/versions/3.1[1-9]*/bin/python3; do
  [[ -x $python ]] || continue
  version=$("$python" -c 'import platform; print(platform.python_version())')
  echo "test-wheel: CPython $version"
  install_into "$python" "$scratch/venv-$version" "$wheel"
  verify_sample "$scratch/venv-$version"
done

# A backend that links its library into the module: the wheel must carry that library's notice.
# OpenSSL is built for the tests anyway; liboqs is only where one was built (never in CI).
variants=()
[[ -z ${HALYX_CMAKE_ARGS:-} ]] && variants+=("openssl:-DHALYX_MLDSA_BACKEND=openssl")
if [[ -n ${HALYX_LIBOQS_PREFIX:-} ]]; then
  variants+=("liboqs:-DHALYX_MLDSA_BACKEND=liboqs -DCMAKE_PREFIX_PATH=$HALYX_LIBOQS_PREFIX")
else
  echo "test-wheel: no liboqs wheel (set HALYX_LIBOQS_PREFIX to a static liboqs install to build one)"
fi
for variant in "${variants[@]}"; do
  name=${variant%%:*}
  echo "test-wheel: the $name backend"
  HALYX_CMAKE_ARGS="${HALYX_CMAKE_ARGS:-} ${variant#*:}" HALYX_WHEEL_BUILD_DIR="$root/$build/wheel-$name-cmake" \
    /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps --quiet --wheel-dir "$scratch/dist-$name" .
  variant_wheel=$(ls "$scratch/dist-$name"/halyx_verifier-*.whl)
  check_tag "$variant_wheel"
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
# curl or wget), and with a fresh dependency cache that must still be empty afterwards.
build_offline() {
  local src=$1 out=$2 tools="$scratch/offline-bin" cache="$scratch/empty-deps-cache" isolate=()
  mkdir -p "$tools" "$cache"
  for tool in c++ g++ cc gcc as ld ar ranlib nm objcopy objdump readelf strip cmake ninja; do
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
   "${isolate[@]}" env -u HALYX_WHEEL_BUILD_DIR PATH="$tools" \
     HALYX_CMAKE_ARGS="${HALYX_CMAKE_ARGS:-} -DHALYX_DEPS_CACHE=$cache" \
     /usr/bin/python3 -m pip wheel --no-index --no-build-isolation --no-deps --quiet --wheel-dir "$out" .)
  [[ -z $(ls -A "$cache") ]] || fail "the sdist build put $(ls "$cache") into its dependency cache"
  echo "test-wheel: the sdist built ${isolate[*]:+in its own network namespace, }with PATH $tools only"
}

echo "test-wheel: sdist"
# setuptools keeps listing every file that an earlier build's SOURCES.txt named, so a stale
# egg-info would bring back what MANIFEST.in no longer takes: the sdist is made from the tree alone.
rm -rf "$root"/*.egg-info
/usr/bin/python3 -m build --sdist --no-isolation --outdir "$dist" . >/dev/null
sdist=$(ls "$dist"/halyx-verifier-*.tar.gz)
unwanted=$(tar -tzf "$sdist" | grep -E '/(tests|fuzz|bench|examples|tools|build[^/]*|\.cache|\.git)/|/build-openssl\.sh$' || true)
[[ -z $unwanted ]] || fail "the sdist holds what no build reads: $unwanted"
/usr/bin/python3 scripts/notices_check.py "$sdist"
scripts/ecosystem-check.sh "$sdist"
tar -xzf "$sdist" -C "$scratch"
started=$SECONDS
build_offline "$(ls -d "$scratch"/halyx-verifier-*/)" "$scratch/dist"
sdist_wheel=$(ls "$scratch"/dist/halyx_verifier-*.whl)
check_tag "$sdist_wheel" "${promise[@]}"
echo "test-wheel: the sdist's wheel took $((SECONDS - started)) s"
install_into /usr/bin/python3 "$scratch/venv-sdist" "$sdist_wheel"
verify_sample "$scratch/venv-sdist"
