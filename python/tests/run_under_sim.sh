#!/usr/bin/env bash
# Runs the package's tests under orvel-sim: five virtual bootloaders, device
# 0's flash holding samples/blinky.bin at 0x8000, device 3 failing its 20th
# data packet, device 4 answering its 2nd data packet half a second late (so
# that Ctrl+C comes while its job runs). Device N is /dev/hidraw<N>, ORVEL-SIM-<N>, USB location 1-2.<N+1>.
#   run_under_sim.sh ORVEL_SIM LIBORVEL PYTHON
set -euo pipefail
sim=${1:?usage: run_under_sim.sh ORVEL_SIM LIBORVEL PYTHON}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-python-XXXXXXXX")
trap 'rm -rf "$work"' EXIT
head -c $((0x8000)) /dev/zero | tr '\0' '\377' > "$work/flash0.bin"
cat "$here/../../samples/blinky.bin" >> "$work/flash0.bin"
export ORVEL_LIBRARY=$2 PYTHONPATH="$here/..${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
exec "$sim" --devices 5 --flash "$work/flash0.bin" --fault 3:data:20:wrong \
  --fault 4:data:2:delay=500 -- \
  "$3" -m pytest -q -p no:cacheprovider "$here"
