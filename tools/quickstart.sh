#!/usr/bin/env bash
# Quick start: installs what is missing, builds orvel-dfu and orvel-sim, and
# flashes the sample program into a virtual Orvel chip with the real orvel-dfu,
# then proves that the chip's flash holds it.
#   tools/quickstart.sh          flash a virtual chip (always safe)
#   tools/quickstart.sh --chip   flash the chip attached over USB instead
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target orvel-dfu orvel-sim >/dev/null
echo "Built build/orvel-dfu and build/orvel-sim."

if [ "${1:-}" = "--chip" ]; then
  echo "Flashing samples/blinky.hex into the attached chip (waits for its bootloader):"
  echo "\$ build/orvel-dfu -w 1 -p FFFFFFFF samples/blinky.hex"
  set +e
  build/orvel-dfu -w 1 -p FFFFFFFF samples/blinky.hex
  status=$?
  set -e
  [ "$status" -eq 1 ] && exit 0 || exit 1
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/orvel-quickstart.XXXXXX")
trap 'rm -rf "$workdir"' EXIT
flash="$workdir/flash.bin"

echo "Flashing samples/blinky.hex into a virtual chip (1 MiB flash, erased):"
echo "\$ orvel-sim --flash flash.bin -- orvel-dfu -p FFFFFFFF samples/blinky.hex"
set +e
build/orvel-sim --flash "$flash" -- build/orvel-dfu -p FFFFFFFF samples/blinky.hex
status=$?
set -e
echo "orvel-dfu exit status: $status (1 means success)"
[ "$status" -eq 1 ] || exit 1

echo "Checking the virtual chip's flash against samples/blinky.bin:"
samples/prove-flash.sh "$flash" samples/blinky.bin 8000
