#!/usr/bin/env bash
# CI for the flashing page: builds it (tools/build-web.sh), installs Debian's
# Chromium and the test driver (playwright-core, which downloads no browser),
# then runs the page's tests: the transport, texts, update manifests and log
# in node, the page in headless Chromium against the virtual bootloader (one
# board and several, manifest updates, offline use). Then prints the time of
# four boards flashed at once against one (web/bench/boards.js).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

tools/build-web.sh

# Debian's Chromium, and Node.js with npm where the machine has none of its own.
packages=(chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
tools/install-deps.sh "${packages[@]}"

cd web/test
npm ci --no-audit --no-fund --loglevel=error
echo "tools/ci-web.sh: installs and build took $(( $(date +%s) - started )) s; the tests follow."
node --test
cd ../..
node web/bench/boards.js 3
