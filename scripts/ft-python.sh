#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (configured with --disable-gil) from Debian 13's python3.13
# source package into PREFIX, once, so that the module's free-threaded build can be tested:
#
#   scripts/ft-python.sh PREFIX
#   PREFIX/bin/python3.13t -c 'import sys; print(sys._is_gil_enabled())'    # False
#
# The machine's apt sources are never edited: a private apt configuration in a temporary folder
# holds one deb-src entry whose mirror is read from the machine's own sources at run time. The
# upstream tarball of the source package is built as it is (Debian's own patches adapt it to
# Debian's layout, which a private prefix does not need).
#
# The build is kept to what the tests need, for time: no profile-guided or link-time optimisation,
# no debug information, no test modules, no pip installed (ensurepip still serves every virtual
# environment), and none of the extension modules that need a library beyond libc and zlib or that
# nothing here imports. pytest, pip and the module's tests need only the rest. PREFIX/.complete
# marks a finished build; a second run with the same PREFIX returns at once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

prefix=${1:?usage: ft-python.sh PREFIX}
[[ -f "$prefix/.complete" ]] && exit 0

# Pinned revision first, then any other 3.13.x the index lists.
pinned="3.13.5-2+deb13u5"
# Extension modules left out. pip runs without ssl and hashlib's OpenSSL (it installs from local
# files only) and without the CJK codecs; pytest without decimal, ctypes, sqlite3 and ElementTree.
# pip does import pyexpat, built against the system's expat (python3-dev brings its headers, as
# it brings zlib's). The builtin hashes stay: hashlib logs an error for each one it cannot find.
unneeded_modules=(_ssl _hashlib _ctypes _decimal _sqlite3 _tkinter _curses _curses_panel readline _dbm
                  _gdbm _uuid _bz2 _lzma _elementtree _multibytecodec _codecs_cn _codecs_hk
                  _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw _interpreters _interpchannels
                  _interpqueues)
configure_opts=(--disable-gil --disable-test-modules --with-ensurepip=no --with-system-expat
                OPT="-DNDEBUG -O2")
for m in "${unneeded_modules[@]}"; do configure_opts+=("py_cv_module_$m=n/a"); done

for header in zlib.h expat.h; do
  [[ -f /usr/include/$header ]] || { echo "ft-python: /usr/include/$header is missing; pip needs it" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src" "$work/build"

mirror=$(debian_mirror ft-python)

cat > "$work/parts/python-src.sources" <<SRC
Types: deb-src
URIs: $mirror
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC

apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o Debug::NoLocking=1)
echo "ft-python: reading the source index (private apt configuration)"
apt-get "${apt_opts[@]}" -qq update 2>&1 | grep -v "unsandboxed" >&2 || true

candidates=("$pinned")
while read -r v; do
  [[ $v == 3.13.* && $v != "$pinned" ]] && candidates+=("$v")
done < <(apt-cache "${apt_opts[@]}" showsrc python3.13 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -rV)

fetched=""
for v in "${candidates[@]}"; do
  echo "ft-python: fetching python3.13 $v"
  if (cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only "python3.13=$v" >/dev/null 2>&1); then
    fetched=$v
    break
  fi
  rm -f "$work/src"/*
done
[[ -n $fetched ]] || { echo "ft-python: no python3.13 source could be downloaded" >&2; exit 1; }

tarball=$(ls "$work/src"/python3.13_*.orig.tar.* | head -n 1)
tar -xf "$tarball" -C "$work/src"
srcdir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
[[ -n $srcdir ]] || { echo "ft-python: the tarball holds no Python-3.13 tree" >&2; exit 1; }

echo "ft-python: building free-threaded CPython $fetched into $prefix"
rm -rf "$prefix"
log="$work/build.log"
started=$SECONDS
if ! (
  cd "$work/build" || exit 1
  "$srcdir/configure" --prefix="$prefix" "${configure_opts[@]}" || exit 1
  make -j"$(nproc)" || exit 1
  # The standard library is byte-compiled as it is imported, into the prefix; compiling all of it
  # for three optimisation levels up front would take longer than the rest of the install.
  make install COMPILEALL_OPTS="-j0 -l"
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "ft-python: the build failed" >&2
  exit 1
fi
python="$prefix/bin/python3.13t"
"$python" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1; assert not sys._is_gil_enabled()' ||
  { echo "ft-python: $python is not a free-threaded interpreter" >&2; exit 1; }
echo "$fetched" > "$prefix/.complete"
echo "ft-python: done ($fetched, $((SECONDS - started)) s)"
