#!/usr/bin/env bash
# Prints the bin/ folder of a virtual environment that holds the build tools and checkers pinned in
# scripts/wheel-tools.txt, creating it under .cache/ on first use (from Python's package index,
# with Debian's Python; about 15 s). A changed list gets a fresh environment.
set -euo pipefail
cd "$(dirname "$0")/.."

list=scripts/wheel-tools.txt
env=".cache/wheel-tools-$(sha256sum "$list" | cut -c1-12)"
# Several scripts may ask at once; one installs, the others wait for it.
mkdir -p .cache
exec 9>.cache/wheel-tools.lock
flock 9
if [[ ! -x $env/bin/auditwheel || ! -e $env/.complete ]]; then
  rm -rf "$env"
  /usr/bin/python3 -m venv "$env"
  if ! "$env/bin/python" -m pip install --quiet --disable-pip-version-check -r "$list" >"$env/install.log" 2>&1; then
    cat "$env/install.log" >&2
    echo "wheel-tools: could not install $list" >&2
    exit 1
  fi
  touch "$env/.complete"
fi
echo "$PWD/$env/bin"
