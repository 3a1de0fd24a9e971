#!/usr/bin/env bash
# Gives a wheel from the build backend (tagged linux_<arch>, which claims nothing beyond the
# building machine) the platform tag it is held to, with the packaging ecosystem's own tool:
# `auditwheel repair` proves the most compatible policy the module keeps (its libraries and symbol
# versions), and the script fails when that is not the tag asked for. It must graft no library (the module links everything but the C
# library, libm and libgcc_s in), so scripts/wheel_check.py judges the wheel before auditwheel
# rewrites it (auditwheel would quietly drop a libpython it finds in NEEDED) and after.
#
#   scripts/retag-wheel.sh [--plat TAG|auto] OUT_DIR WHEEL
#
# TAG defaults to manylinux_2_17_<arch>, the promise of default wheels; `auto` takes the most
# compatible policy auditwheel proves (for a backend that brings its library's needs);
# musllinux_1_2_<arch> for a musl build. The wheel keeps its Python and ABI tags (cp311-abi3,
# cp313-cp313t). With SOURCE_DATE_EPOCH set, the same input gives the same bytes. Prints the path
# of the retagged wheel; the input stays where it was.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

plat=""
if [[ ${1:-} == --plat ]]; then
  plat=$2
  shift 2
fi
[[ $# == 2 ]] || { echo "usage: $0 [--plat TAG|auto] OUT_DIR WHEEL" >&2; exit 2; }
out=$1 wheel=$2
name=$(basename "$wheel")
arch=${name%.whl}
arch=${arch##*-linux_}
[[ $name == *-linux_* && $arch != "$name" ]] || { echo "retag-wheel: $name is not a linux_<arch> wheel" >&2; exit 1; }
plat=${plat:-manylinux_2_17_$arch}

tools=$("$here/wheel-tools.sh")
/usr/bin/python3 "$here/wheel_check.py" "$wheel" >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# auditwheel offers by name only the policies of the machine it runs on (x86-64, glibc), so it is
# asked for the most compatible tag it proves, taking the architecture and C library from the
# wheel, and that must be the one wanted: a module that needs more gets a newer tag, or none.
if ! PATH="$tools:$PATH" "$tools/auditwheel" repair --plat auto -w "$work" "$wheel" >"$work/log" 2>&1; then
  cat "$work/log" >&2
  echo "retag-wheel: auditwheel cannot repair $name" >&2
  exit 1
fi
repaired=$(ls "$work"/*.whl)
got=${repaired%.whl}
got=${got##*-}
if [[ $plat != auto && .$got. != *".$plat."* ]]; then
  cat "$work/log" >&2
  echo "retag-wheel: auditwheel proves $got for $name, not $plat" >&2
  exit 1
fi
/usr/bin/python3 "$here/wheel_check.py" "$repaired" >&2
mkdir -p "$out"
mv "$repaired" "$out/"
echo "$out/$(basename "$repaired")"
