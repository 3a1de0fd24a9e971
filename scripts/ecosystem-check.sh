#!/usr/bin/env bash
# Holds wheels and sdists to the packaging ecosystem's own checkers (pinned in
# scripts/wheel-tools.txt), beside what scripts/wheel_check.py proves:
#   - auditwheel show must name, as the platform the wheel is consistent with, exactly the
#     platform tag in the wheel's name, beside which the name may carry only that tag's legacy
#     alias (manylinux2014_<arch> for manylinux_2_17_<arch>), as `auditwheel repair` writes it
#     (every Linux wheel);
#   - abi3audit --strict must find no call outside the stable ABI of the wheel's Python tag
#     (every abi3 wheel; a wheel for one interpreter's own ABI, such as free-threaded cp313t,
#     makes no such promise, and is said to be skipped);
#   - check-wheel-contents must find nothing wrong with the wheel's files;
#   - twine check --strict must accept the metadata and the README as an index would render it, and
#     every classifier it names must be on the index's list (the pinned trove-classifiers);
#   - CycloneDX's own library must find every SBOM in a wheel's dist-info valid against the
#     CycloneDX 1.6 JSON schema (strict: no property the schema does not know).
#
#   scripts/ecosystem-check.sh ARTEFACT...
#
# $HALYX_AUDITWHEEL_LDPATHS, when set, is where auditwheel looks for the libraries a module needs
# instead of this machine's own folders: the target's C library, for a wheel of another libc.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$(scripts/wheel-tools.sh)

fail() { echo "ecosystem-check: $*" >&2; exit 1; }

# The platform tags a wheel that auditwheel finds consistent with TAG carries: TAG and its legacy
# alias, if it has one, sorted as in a wheel's name.
expected_platforms() {
  local tag=$1 legacy=""
  case $tag in
    manylinux_2_17_*) legacy=manylinux2014_${tag#manylinux_2_17_} ;;
    manylinux_2_12_*) legacy=manylinux2010_${tag#manylinux_2_12_} ;;
    manylinux_2_5_*) legacy=manylinux1_${tag#manylinux_2_5_} ;;
  esac
  printf '%s\n' "$tag" ${legacy:+"$legacy"} | LC_ALL=C sort | paste -sd.
}

for artefact in "$@"; do
  name=$(basename "$artefact")
  case $name in
    *.whl)
      platform=${name%.whl}
      platform=${platform##*-}
      if [[ $platform == *linux* ]]; then
        report=$("$tools/auditwheel" show ${HALYX_AUDITWHEEL_LDPATHS:+--ldpaths "$HALYX_AUDITWHEEL_LDPATHS"} "$artefact" 2>&1) || fail "auditwheel show failed on $name: $report"
        consistent=$(tr -s ' \n' ' ' <<<"$report" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
        [[ -n $consistent && $(expected_platforms "$consistent") == "$platform" ]] ||
          fail "auditwheel finds $name consistent with '${consistent:-nothing}', not its own tag $platform: $report"
      fi
      if [[ $name == *-abi3-* ]]; then
        "$tools/abi3audit" --strict "$artefact" >/dev/null || fail "abi3audit found calls outside the stable ABI in $name"
      else
        echo "ecosystem-check: $name is not an abi3 wheel; abi3audit does not apply"
      fi
      "$tools/check-wheel-contents" "$artefact" >/dev/null || fail "check-wheel-contents found faults in $name"
      "$tools/python" - "$artefact" <<'PY' || fail "an SBOM in $name is not valid CycloneDX 1.6"
import re, sys, zipfile
from cyclonedx.schema import SchemaVersion
from cyclonedx.validation.json import JsonStrictValidator
validator = JsonStrictValidator(SchemaVersion.V1_6)
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for member in wheel.namelist():
        if re.fullmatch(r"[^/]+\.dist-info/sboms/[^/]+\.cdx\.json", member):
            error = validator.validate_str(wheel.read(member).decode())
            if error is not None:
                sys.exit(f"{member}: {str(error.data.message).splitlines()[0]}")
PY
      ;;
  esac
  "$tools/twine" check --strict "$artefact" >/dev/null || fail "twine check failed on $name"
  "$tools/python" - "$artefact" <<'PY' || fail "the metadata of $name names a classifier the index does not know"
import email.parser, sys, tarfile, zipfile
from trove_classifiers import classifiers, deprecated_classifiers
path = sys.argv[1]
if path.endswith(".whl"):
    with zipfile.ZipFile(path) as wheel:
        text = next(wheel.read(n) for n in wheel.namelist() if n.endswith(".dist-info/METADATA")).decode()
else:
    with tarfile.open(path) as sdist:
        text = sdist.extractfile(sdist.getnames()[0].split("/")[0] + "/PKG-INFO").read().decode()
named = email.parser.Parser().parsestr(text).get_all("Classifier") or []
unknown = [c for c in named if c not in classifiers or c in deprecated_classifiers]
if not named or unknown:
    sys.exit(f"{path}: classifiers {unknown or 'none'} are not on the index's list")
PY
  echo "ecosystem-check: $name passes${platform:+ (auditwheel: $platform)}"
  platform=""
done
