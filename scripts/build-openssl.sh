#!/usr/bin/env bash
# Builds a static, position-independent libcrypto from Debian 13's OpenSSL 3.5 source package into
# PREFIX, once. The machine's apt sources are never edited: a private apt configuration in a temporary
# folder holds one deb-src entry whose mirror is read from the machine's own sources at run time.
#
#   scripts/build-openssl.sh PREFIX
#
# PREFIX/.complete marks a finished build; a second run with the same PREFIX returns at once.
set -euo pipefail

prefix=${1:?usage: build-openssl.sh PREFIX}
[[ -f "$prefix/.complete" ]] && exit 0

# Pinned revision first, then any other 3.5.x the index lists (not every listed one downloads).
pinned="3.5.7-1~deb13u2"
configure_opts=(linux-x86_64 no-shared no-module no-tests no-docs no-apps no-legacy no-engine no-dso
                no-ssl no-tls no-dtls no-quic no-deprecated -fPIC -ffunction-sections -fdata-sections)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"

mirror=""
for f in /etc/apt/sources.list.d/debian.sources; do
  [[ -f $f ]] && mirror=$(awk '/^URIs:/ { print $2; exit }' "$f")
done
if [[ -z $mirror && -f /etc/apt/sources.list ]]; then
  mirror=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
[[ -n $mirror ]] || { echo "build-openssl: no Debian mirror found in the machine's apt sources" >&2; exit 1; }

cat > "$work/parts/openssl-src.sources" <<SRC
Types: deb-src
URIs: $mirror
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC

apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o Debug::NoLocking=1)
echo "build-openssl: reading the source index (private apt configuration)"
apt-get "${apt_opts[@]}" -qq update 2>&1 | grep -v "unsandboxed" >&2 || true

candidates=("$pinned")
while read -r v; do
  [[ $v == 3.5.* && $v != "$pinned" ]] && candidates+=("$v")
done < <(apt-cache "${apt_opts[@]}" showsrc openssl 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -rV)

fetched=""
for v in "${candidates[@]}"; do
  echo "build-openssl: fetching openssl $v"
  if (cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only "openssl=$v" >/dev/null 2>&1); then
    fetched=$v
    break
  fi
  rm -f "$work/src"/*
done
[[ -n $fetched ]] || { echo "build-openssl: no OpenSSL 3.5.x source could be downloaded" >&2; exit 1; }

tarball=$(ls "$work/src"/openssl_*.orig.tar.* | head -n 1)
tar -xf "$tarball" -C "$work/src"
srcdir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)

echo "build-openssl: building libcrypto $fetched into $prefix"
log="$work/build.log"
if ! (
  cd "$srcdir"
  ./Configure "${configure_opts[@]}" --prefix="$prefix" --libdir=lib
  make -j"$(nproc)" build_libs
  make install_dev
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build-openssl: the build failed" >&2
  exit 1
fi
rm -f "$prefix"/lib/libssl.* "$prefix"/lib/pkgconfig/libssl.pc "$prefix"/lib/pkgconfig/openssl.pc
echo "$fetched" > "$prefix/.complete"
echo "build-openssl: done ($fetched)"
