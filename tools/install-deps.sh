#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that building and testing Orvel DFU need,
# only those that are missing. Runs apt-get directly as root, through sudo otherwise.
#   tools/install-deps.sh [PACKAGE...]   also installs the packages named
set -euo pipefail

packages=(cmake g++ make pkg-config libhidapi-dev libedit-dev libgtest-dev umockdev libumockdev-dev python3 python3-pytest "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt-get at work (a second build on the same machine) is waited for.
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" </dev/null
