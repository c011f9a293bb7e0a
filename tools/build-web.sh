#!/usr/bin/env bash
# Builds the flashing page into build-web/site: the tool's core compiled to
# WebAssembly (Debian's emscripten), the virtual chip's model, and the page.
# Installs what is missing (as root, or through sudo). Serve the folder with
# any static server, e.g.  python3 -m http.server -d build-web/site 8000
set -euo pipefail
cd "$(dirname "$0")/.."

# libhidapi-dev for hidapi.h only: the page implements hidapi over WebHID.
packages=(emscripten cmake make libhidapi-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# Debian's emscripten runs its JavaScript tools with node and Debian's
# node-acorn, which a node from elsewhere does not look for by itself.
export NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}"

emcmake cmake -S web -B build-web -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build-web -j "$(nproc 2>/dev/null || echo 2)"

wasm=build-web/site/orvel-core.wasm
echo "Built build-web/site. $wasm: $(wc -c <"$wasm") bytes, $(gzip -9c "$wasm" | wc -c) gzipped."
