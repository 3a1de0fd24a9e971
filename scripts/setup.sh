#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing, together
# with any packages named as arguments. Needs root (or sudo) only when something has to be
# installed. Safe to run again: it then does nothing.
#
#   scripts/setup.sh [EXTRA_PACKAGE...]
set -euo pipefail

# libclang-rt-14-dev gives the test build clang's FuzzedDataProvider.h, to replay the fuzz
# targets' seeds, and nlohmann-json3-dev the manifest target its independent JSON parser. g++-aarch64-linux-gnu and qemu-user-static build the aarch64 wheel and run it under emulation.
packages=(g++ make cmake ninja-build pkg-config perl xz-utils python3 python3-dev python3-pytest python3-pip
          python3-venv python3-setuptools python3-wheel python3-build python3-mypy clang-tidy-16 libc++-16-dev
          libc++abi-16-dev libgtest-dev libbenchmark-dev libclang-rt-14-dev nlohmann-json3-dev help2man g++-aarch64-linux-gnu qemu-user-static "$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
(( ${#missing[@]} == 0 )) && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
