#!/usr/bin/env bash
# Extracts Debian 12's arm64 CPython 3.11, its headers and pytest into PREFIX, once, so that an
# aarch64 module can be built against the target's own Python headers and then imported and tested
# under qemu-aarch64-static:
#
#   scripts/arm64-python.sh PREFIX
#   qemu-aarch64-static -L PREFIX PREFIX/usr/bin/python3.11 -c 'import platform; print(platform.machine())'
#
# Nothing of the machine's own Python or apt configuration changes: a private apt configuration in
# a temporary folder lists arm64 packages from the mirror the machine's own sources name (read at
# run time), and the packages are unpacked with dpkg -x, never installed. 3.11 is the oldest
# CPython the abi3 wheel claims, so it is the one to test on. PREFIX/.complete marks a finished
# tree; a second run with the same PREFIX returns at once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

prefix=${1:?usage: arm64-python.sh PREFIX}
[[ -f "$prefix/.complete" ]] && exit 0

packages=(
  # the interpreter and the parts of its standard library the tests import, with the libraries
  # they load; libgcc-s1 is the module's own need
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 libexpat1 zlib1g libffi8
  libgcc-s1
  # the headers: pyconfig.h is per architecture
  libpython3.11-dev
  # pytest and what it imports (all pure Python)
  python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-attr python3-py
  python3-more-itertools python3-pkg-resources
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
: > "$work/status"

mirror=$(debian_mirror arm64-python)

cat > "$work/parts/arm64.sources" <<SRC
Types: deb
URIs: $mirror
Suites: bookworm
Components: main
Architectures: arm64
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC

# An empty package status and arm64 as the only architecture: apt resolves names for the target
# alone and never consults what the machine has installed.
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o "Dir::State::status=$work/status"
          -o APT::Architecture=arm64 -o APT::Architectures=arm64 -o Debug::NoLocking=1)
echo "arm64-python: reading the arm64 package index (private apt configuration)"
apt-get "${apt_opts[@]}" -qq update 2>&1 | grep -v "unsandboxed" >&2 || true
(cd "$work/debs" && apt-get "${apt_opts[@]}" -qq download "${packages[@]}" 2>&1 | grep -v "unsandboxed" >&2) || true
for p in "${packages[@]}"; do
  compgen -G "$work/debs/${p}_*.deb" >/dev/null || { echo "arm64-python: could not download $p" >&2; exit 1; }
done

rm -rf "$prefix"
mkdir -p "$prefix"
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$prefix"
done
# The interpreter's path is part of how it finds its standard library, and Debian links
# python3.11's loader as /lib/ld-linux-aarch64.so.1: qemu's -L PREFIX finds both under PREFIX.
[[ -x $prefix/usr/bin/python3.11 && -e $prefix/lib/ld-linux-aarch64.so.1 ]] ||
  { echo "arm64-python: the unpacked tree has no python3.11 or loader" >&2; exit 1; }
(cd "$work/debs" && ls) > "$prefix/.complete"
echo "arm64-python: CPython 3.11 for arm64 in $prefix"
