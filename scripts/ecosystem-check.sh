#!/usr/bin/env bash
# Holds wheels and sdists to the packaging ecosystem's own checkers (pinned in
# scripts/wheel-tools.txt), beside what scripts/wheel_check.py proves:
#   - auditwheel show must name, as the platform the wheel is consistent with, exactly the
#     platform tag in the wheel's name (every Linux wheel);
#   - abi3audit --strict must find no call outside the stable ABI of the wheel's Python tag
#     (every abi3 wheel);
#   - check-wheel-contents must find nothing wrong with the wheel's files;
#   - twine check --strict must accept the metadata and the README as an index would render it.
#
#   scripts/ecosystem-check.sh ARTEFACT...
#
# $HALYX_AUDITWHEEL_LDPATHS, when set, is where auditwheel looks for the libraries a module needs
# instead of this machine's own folders: the target's C library, for a wheel of another libc.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$(scripts/wheel-tools.sh)

fail() { echo "ecosystem-check: $*" >&2; exit 1; }

for artefact in "$@"; do
  name=$(basename "$artefact")
  case $name in
    *.whl)
      platform=${name%.whl}
      platform=${platform##*-}
      if [[ $platform == *linux* ]]; then
        report=$("$tools/auditwheel" show ${HALYX_AUDITWHEEL_LDPATHS:+--ldpaths "$HALYX_AUDITWHEEL_LDPATHS"} "$artefact" 2>&1) || fail "auditwheel show failed on $name: $report"
        consistent=$(tr -s ' \n' ' ' <<<"$report" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
        [[ $consistent == "$platform" ]] ||
          fail "auditwheel finds $name consistent with '${consistent:-nothing}', not its own tag $platform: $report"
      fi
      if [[ $name == *-abi3-* ]]; then
        "$tools/abi3audit" --strict "$artefact" >/dev/null || fail "abi3audit found calls outside the stable ABI in $name"
      fi
      # The stub halyx_verifier.pyi stands beside the module at the top level, where type
      # checkers look for a single module's stub: W003 and W009 call that a second top-level entry.
      "$tools/check-wheel-contents" --ignore W003,W009 "$artefact" >/dev/null ||
        fail "check-wheel-contents found faults in $name"
      ;;
  esac
  "$tools/twine" check --strict "$artefact" >/dev/null || fail "twine check failed on $name"
  echo "ecosystem-check: $name passes${platform:+ (auditwheel: $platform)}"
  platform=""
done
