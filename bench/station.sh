#!/usr/bin/env bash
# Boards per hour of a production station: orvel-dfu --station against
# orvel-sim's conveyor (boards arriving on K ports, a reply latency per
# exchange), for 1, 2, 4 and 8 ports. Builds nothing.
#
#   bench/station.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [BOARDS_PER_PORT] [BYTES]
#
# Each board gets a program of BYTES (64 KiB by default) with read-back.
# The goal: with 4 ports the station flashes at least 3.5 times as many
# boards per hour as with 1.
set -euo pipefail

sim=${1:?usage: station.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [BOARDS_PER_PORT] [BYTES]}
dfu=${2:?usage: station.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [BOARDS_PER_PORT] [BYTES]}
latency=${3:-1000}
per_port=${4:-3}
bytes=${5:-65536}
readonly GAP_MS=50

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-station-bench-XXXXXXXX")
trap 'rm -rf "$work"' EXIT
head -c "$bytes" /dev/urandom > "$work/app.bin"

# Boards per hour with K ports: the station ends once every board passed.
boards_per_hour() {  # ports
  local boards=$(($1 * per_port)) begin end status=0
  begin=$(date +%s%N)
  "$sim" --conveyor "$1:$per_port:$GAP_MS" --latency "$latency" -- \
    "$dfu" --station -p 8000 "$work/app.bin" -s 2 --count "$boards" > "$work/out.txt" 2> /dev/null || status=$?
  end=$(date +%s%N)
  if [ "$status" != 1 ] || [ "$(grep -c '	PASS	' "$work/out.txt")" != "$boards" ]; then
    echo "station.sh: the station with $1 ports did not pass every board (status $status)" >&2
    exit 1
  fi
  awk -v b="$boards" -v ns=$((end - begin)) 'BEGIN { printf "%.0f", b * 3600e9 / ns }'
}

echo "$bytes bytes with read-back, $latency us per reply, $per_port boards per port, $GAP_MS ms between boards"
declare -A rate
for ports in 1 2 4 8; do
  rate[$ports]=$(boards_per_hour "$ports")
  echo "  $ports port(s): ${rate[$ports]} boards per hour ($(awk -v r="${rate[$ports]}" -v one="${rate[1]}" 'BEGIN { printf "%.2f", r / one }')x one port)"
done
awk -v four="${rate[4]}" -v one="${rate[1]}" 'BEGIN {
  ratio = four / one
  printf "4 ports / 1 port: %.2f (goal: at least 3.50) %s\n", ratio, (ratio >= 3.5 ? "met" : "NOT MET") }'
