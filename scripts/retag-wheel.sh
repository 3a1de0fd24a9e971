#!/usr/bin/env bash
# Gives a wheel from the build backend (tagged linux_<arch>, which claims nothing beyond the
# building machine) the platform tag it is held to, with the packaging ecosystem's own tool:
# `auditwheel repair` checks the module against that policy (its libraries and symbol versions)
# and fails when it needs more. It must graft no library (the module links everything but the C
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
if ! PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" -w "$work" "$wheel" >"$work/log" 2>&1; then
  cat "$work/log" >&2
  echo "retag-wheel: auditwheel cannot give $name the tag $plat" >&2
  exit 1
fi
repaired=$(ls "$work"/*.whl)
/usr/bin/python3 "$here/wheel_check.py" "$repaired" >&2
mkdir -p "$out"
mv "$repaired" "$out/"
echo "$out/$(basename "$repaired")"
