#!/usr/bin/env bash
# Builds a static, position-independent libcrypto from Debian 13's OpenSSL 3.5 source package into
# PREFIX, once, with only what the module uses. The machine's apt sources are never edited: a private
# apt configuration in a temporary folder holds one deb-src entry whose mirror is read from the
# machine's own sources at run time.
#
#   scripts/build-openssl.sh PREFIX
#
# PREFIX/.complete marks a finished build; a second run with the same PREFIX returns at once.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

prefix=${1:?usage: build-openssl.sh PREFIX}
[[ -f "$prefix/.complete" ]] && exit 0

# Pinned revision first, then any other 3.5.x the index lists (not every listed one downloads).
pinned="3.5.7-1~deb13u2"
# The module uses the EVP core, the default provider, ML-DSA, SHA-256 and SHAKE. The default provider
# refers to every algorithm it offers, so --gc-sections keeps whatever is built; what is not built
# cannot end up in the module. Left out below is all that Configure lets go: AES, SHA-1, MD5, RSA,
# HMAC and the KDFs without an option of their own stay.
configure_opts=(linux-x86_64 no-shared no-module no-dso no-engine no-tests no-docs no-apps no-legacy
                no-deprecated
                # protocols, PKI formats and their transports
                no-ssl no-tls no-dtls no-quic no-psk no-srp no-srtp no-nextprotoneg no-ktls no-sock
                no-http no-ocsp no-cmp no-cms no-ct no-ts no-rfc3779 no-comp
                # ciphers and cipher modes
                no-aria no-bf no-camellia no-cast no-chacha no-des no-idea no-rc2 no-rc4 no-seed no-sm4
                no-ocb no-siv no-poly1305 no-multiblock
                # public-key algorithms other than ML-DSA (no-ec also drops X25519, Ed25519 and SM2)
                no-dh no-dsa no-ec no-gost no-ml-kem no-slh-dsa
                # digests, MACs and KDFs
                no-blake2 no-md4 no-mdc2 no-rmd160 no-sm3 no-whirlpool no-cmac no-siphash no-scrypt
                no-argon2
                # machinery: no job threads, no secure heap, no prompts, no error texts (the module
                # never shows them), and no openssl.cnf read from wherever OPENSSLDIR points
                no-async no-thread-pool no-secure-memory no-ui-console no-err no-filenames
                no-autoload-config
                # The assembler modules come all or none, and one of them (AES-GCM for AVX-512) is
                # 700 KB, half the module. Without them a call verifies about 14% slower.
                no-asm
                # No C++ exception crosses OpenSSL's C frames, so they need no unwind tables.
                -Os -fPIC -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
                -fno-unwind-tables)
# -Os everywhere but in the code every verification runs, which stays at OpenSSL's -O3: with all of
# libcrypto at -Os a call takes about 13% longer again, for 12 KB.
hot_sources=(crypto/sha/keccak1600.c crypto/sha/sha256.c 'crypto/ml_dsa/*.c')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"

mirror=$(debian_mirror build-openssl)

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
  # Each step ends the subshell on failure: errexit does not apply inside an if condition.
  cd "$srcdir" || exit 1
  ./Configure "${configure_opts[@]}" --prefix="$prefix" --libdir=lib || exit 1
  # Objects are named after the library that takes them: crypto/sha/libcrypto-lib-sha256.o.
  hot_objects=()
  for pattern in "${hot_sources[@]}"; do
    for c in $pattern; do   # the patterns expand here, inside the source tree
      [[ -f $c ]] || { echo "build-openssl: no $pattern in this OpenSSL"; exit 1; }
      hot_objects+=("$(dirname "$c")/libcrypto-lib-$(basename "${c%.c}").o")
    done
  done
  hot_cflags=$(sed -n 's/^CFLAGS=//p' Makefile | sed 's/ -Os//')
  # The generated headers first; build_libs then finds the hot objects up to date and keeps them.
  make build_generated || exit 1
  make -j"$(nproc)" CFLAGS="$hot_cflags" "${hot_objects[@]}" || exit 1
  make -j"$(nproc)" build_libs || exit 1
  make install_dev
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build-openssl: the build failed" >&2
  exit 1
fi
rm -f "$prefix"/lib/libssl.* "$prefix"/lib/pkgconfig/libssl.pc "$prefix"/lib/pkgconfig/openssl.pc
echo "$fetched" > "$prefix/.complete"
echo "build-openssl: done ($fetched)"
