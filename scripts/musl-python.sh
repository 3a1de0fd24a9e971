#!/usr/bin/env bash
# Builds CPython 3.11 for musl into PREFIX, once, with zig's toolchain (scripts/zig-tools.sh), so
# that a musllinux wheel can be installed, imported and tested under a real musl interpreter:
#
#   scripts/musl-python.sh x86_64|aarch64 PREFIX
#   PREFIX/bin/python3.11 -c 'import sys; print(sys.platform)'                     (x86_64, natively)
#   qemu-aarch64-static PREFIX/bin/python3.11 -c '...'                              (aarch64)
#
# The source is the upstream tarball of Debian 12's python3.11 source package (3.11 is the oldest
# CPython the abi3 wheel claims; Debian's own patches fit the interpreter to Debian's layout and are
# left out). musl's dynamic loader comes from Debian 13's musl package for the target architecture,
# unpacked with dpkg -x into PREFIX/lib; the interpreter names that loader by its path, so it runs
# on a glibc machine without anything installed system-wide. pytest and what it imports, all pure
# Python, come from Debian 12's packages too, unpacked into PREFIX/pytest (the same pytest the
# aarch64 glibc test runs). The machine's apt sources are never edited: a private apt configuration
# in a temporary folder names the mirror the machine's own sources name, read at run time.
#
# The build is bounded: no optimisation passes over a profile, no LTO, no debug information, no
# test modules, and none of the extension modules that the package's tests and pytest never import
# (the CJK codecs, decimal, XML, audio and the like); libraries the target does not have (zlib,
# libffi, OpenSSL, ...) are not looked for. PREFIX/.complete marks a finished build; a second run
# with the same PREFIX returns at once.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/debian-mirror.sh"

arch=${1:?usage: musl-python.sh x86_64|aarch64 PREFIX}
prefix=${2:?usage: musl-python.sh x86_64|aarch64 PREFIX}
[[ -f "$prefix/.complete" ]] && exit 0
case $arch in
  x86_64) deb_arch=amd64 ;;
  aarch64) deb_arch=arm64 ;;
  *) echo "musl-python: no build for $arch" >&2; exit 1 ;;
esac
prefix=$(mkdir -p "$prefix" && cd "$prefix" && pwd)

source_version="3.11.2"
static_modules="array arraymodule.c
_bisect _bisectmodule.c
_contextvars _contextvarsmodule.c
_csv _csv.c
_heapq _heapqmodule.c
_json _json.c
_opcode _opcode.c
_pickle _pickle.c
_queue _queuemodule.c
_random _randommodule.c
_struct _struct.c
_typing _typingmodule.c
math mathmodule.c
cmath cmathmodule.c
_statistics _statisticsmodule.c
_datetime _datetimemodule.c
binascii binascii.c
_md5 md5module.c
_sha1 sha1module.c
_sha256 sha256module.c
_sha512 sha512module.c
_sha3 _sha3/sha3module.c
_blake2 _blake2/blake2module.c _blake2/blake2b_impl.c _blake2/blake2s_impl.c
unicodedata unicodedata.c
fcntl fcntlmodule.c
grp grpmodule.c
_posixsubprocess _posixsubprocess.c
resource resource.c
select selectmodule.c
_socket socketmodule.c
termios termios.c"   # the upstream release in Debian 12's python3.11
# Configure would build these; nothing the tests run imports them. Without pyexpat and _decimal,
# "system" expat and libmpdec only keep the build from compiling its bundled copies.
unused_modules=(_decimal pyexpat _elementtree _codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp
                _codecs_kr _codecs_tw _multibytecodec audioop ossaudiodev _xxsubinterpreters nis
                _crypt spwd syslog _tkinter _gdbm _sqlite3 _uuid _dbm _lsprof _asyncio _zoneinfo
                _curses _curses_panel readline _ctypes mmap)
# musl from Debian 13, whose 1.2.5 is the release zig's headers declare (Debian 12's 1.2.3 lacks
# calls they use, such as __ioctl_time64); pytest from Debian 12, as the aarch64 glibc test has it.
packages=(musl/trixie
          python3-pytest/bookworm python3-pluggy/bookworm python3-iniconfig/bookworm
          python3-packaging/bookworm python3-attr/bookworm python3-py/bookworm
          python3-more-itertools/bookworm python3-pkg-resources/bookworm)

zig_bin=$("$here/zig-tools.sh")
build_python=/usr/bin/python3.11   # the build machine's own 3.11 runs the build's Python steps
[[ $("$build_python" -c 'import platform; print(platform.python_version())') == 3.11.* ]] ||
  { echo "musl-python: $build_python is not CPython 3.11" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src" "$work/debs" \
         "$work/unpacked"
: > "$work/status"
mirror=$(debian_mirror musl-python)
cat > "$work/parts/bookworm.sources" <<SRC
Types: deb deb-src
URIs: $mirror
Suites: bookworm trixie
Components: main
Architectures: $deb_arch
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o "Dir::State::status=$work/status"
          -o "APT::Architecture=$deb_arch" -o "APT::Architectures=$deb_arch" -o Debug::NoLocking=1)
started=$SECONDS
echo "musl-python: reading Debian 12's package and source indexes (private apt configuration)"
apt-get "${apt_opts[@]}" -qq update 2>&1 | grep -v "unsandboxed" >&2 || true
(cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only python3.11/bookworm 2>&1 | grep -v "unsandboxed" >&2) || true
(cd "$work/debs" && apt-get "${apt_opts[@]}" -qq download "${packages[@]}" 2>&1 | grep -v "unsandboxed" >&2) || true
tarball="$work/src/python3.11_$source_version.orig.tar.gz"
[[ -f $tarball ]] || { echo "musl-python: Debian 12 has no python3.11 $source_version source" >&2; exit 1; }
for p in "${packages[@]}"; do
  compgen -G "$work/debs/${p%/*}_*.deb" >/dev/null || { echo "musl-python: could not download $p" >&2; exit 1; }
done
tar -xzf "$tarball" -C "$work/src"
srcdir="$work/src/Python-$source_version"
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$work/unpacked"
done
echo "musl-python: fetched in $((SECONDS - started)) s"

rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/etc" "$prefix/pytest"
loader="$prefix/lib/ld-musl-$arch.so.1"
cp -L "$work/unpacked/usr/lib/ld-musl-$arch.so.1" "$loader"   # Debian 13 keeps /lib in /usr/lib
# musl's loader reads its search path from ../etc beside its own folder: only PREFIX/lib, never the
# host's glibc folders.
echo "$prefix/lib" > "$prefix/etc/ld-musl-$arch.path"
cp -r "$work/unpacked/usr/lib/python3/dist-packages/." "$prefix/pytest/"

# The answers a cross build cannot find by running test programs.
cat > "$work/config.site" <<SITE
ac_cv_file__dev_ptmx=yes
ac_cv_file__dev_ptc=no
ac_cv_buggy_getaddrinfo=no
$(for m in "${unused_modules[@]}" array _bisect _contextvars _csv _heapq _json _opcode _pickle _queue _random _struct _typing math cmath _statistics _datetime binascii _md5 _sha1 _sha256 _sha512 _sha3 _blake2 unicodedata fcntl grp _posixsubprocess resource select _socket termios; do echo "py_cv_module_$m=n/a"; done)
SITE

started=$SECONDS
echo "musl-python: building CPython $source_version for $arch-linux-musl into $prefix"
log="$prefix/build.log"
if ! (
  cd "$srcdir" || exit 1
  # Built into the interpreter by make: setup.py, which would build them as shared modules,
  # compiles against the build machine's /usr/include.
  printf '*static*\n%s\n' "$static_modules" > Modules/Setup.local
  # The standard library is compiled for the default optimisation level alone: the tests never run
  # with -O or -OO.
  sed -i 's/$(PYTHON_FOR_BUILD) -Wi -OO* $(DESTDIR)$(LIBDEST)\/compileall.py/true/' Makefile.pre.in
  # Dynamically linked, so that it can load extension modules; the executable names the loader in
  # PREFIX. zig makes __DATE__ an error, and getbuildinfo.c records the build date. Position
  # independent: zig's stub of musl's libc.so gives environ, __progname and the like one address,
  # so the copy relocations of a fixed-address executable would make them one variable.
  # PKG_CONFIG=false: the host's .pc files describe glibc libraries.
  # MODULE_BUILDTYPE=static: the extension modules go into the interpreter, built by make alone
  # (setup.py would add the host's /usr/include).
  CONFIG_SITE="$work/config.site" PKG_CONFIG=false \
  CC="$zig_bin/zig-cc -target $arch-linux-musl" CXX="$zig_bin/zig-c++ -target $arch-linux-musl" \
  AR="$zig_bin/zig-ar" RANLIB="$zig_bin/zig-ranlib" READELF="$(command -v readelf)" \
  OPT="-DNDEBUG -fwrapv -O2 -fPIE -Wno-date-time" LDFLAGS="-dynamic" \
  LINKFORSHARED="-pie -Wl,--export-dynamic -Wl,--dynamic-linker=$loader" \
    ./configure --build="$(uname -m)-pc-linux-gnu" --host="$arch-linux-musl" --prefix="$prefix" \
      --with-build-python="$build_python" --disable-test-modules --disable-ipv6 \
      --without-ensurepip --without-doc-strings --with-system-expat --with-system-libmpdec ||
    exit 1
  make -j2 || exit 1
  make install || exit 1
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "musl-python: the build failed (log: $log)" >&2
  exit 1
fi
rm -rf "$prefix/lib/python3.11/config-3.11-$arch-linux-musl" "$prefix/share"
echo "musl-python: built in $((SECONDS - started)) s"
echo "$arch $source_version" > "$prefix/.complete"
