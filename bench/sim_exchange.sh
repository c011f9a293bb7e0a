#!/usr/bin/env bash
# Wall time of one exchange (one report written, its reply read) between the
# real orvel-dfu and a virtual bootloader under orvel-sim. Builds nothing.
#
#   bench/sim_exchange.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [RUNS]
#
# Each run flashes a small and a large program (download and verify) under one
# orvel-sim each; the difference in wall time over the difference in exchanges
# is the cost of one exchange, free of start-up, connect and restart times.
# Prints it from the median times over RUNS (default 7), and from the fastest.
set -euo pipefail

sim=${1:?usage: sim_exchange.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [RUNS]}
dfu=${2:?usage: sim_exchange.sh ORVEL_SIM ORVEL_DFU [LATENCY_US] [RUNS]}
latency=${3:-0}
runs=${4:-7}

readonly PAYLOAD=62             # data bytes per DownloadData and ReadFlash packet
readonly SMALL_PACKETS=100
readonly LARGE_PACKETS=1100
# Each packet is written once and read back once.
readonly EXTRA_EXCHANGES=$((2 * (LARGE_PACKETS - SMALL_PACKETS)))

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-bench-XXXXXXXX")
trap 'rm -rf "$work"' EXIT
# The bytes do not matter to the timing; the same ones every time.
head -c $((SMALL_PACKETS * PAYLOAD)) /dev/zero | tr '\0' '\132' > "$work/small.bin"
head -c $((LARGE_PACKETS * PAYLOAD)) /dev/zero | tr '\0' '\132' > "$work/large.bin"

# Nanoseconds one orvel-sim run of a one-shot job takes; fails unless it flashed.
job_ns() {  # program
  local begin end status=0
  begin=$(date +%s%N)
  "$sim" --latency "$latency" -- "$dfu" -p 0 "$1" > /dev/null || status=$?
  end=$(date +%s%N)
  if [ "$status" != 1 ]; then
    echo "sim_exchange.sh: the job on $(basename "$1") failed (status $status)" >&2
    exit 1
  fi
  echo $((end - begin))
}

small_ns=()
large_ns=()
for ((run = 0; run < runs; run++)); do
  small_ns+=("$(job_ns "$work/small.bin")")
  large_ns+=("$(job_ns "$work/large.bin")")
done

# Medians are robust against runs slowed down by other work on the machine.
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
minimum() { printf '%s\n' "$@" | sort -n | head -n 1; }
per_exchange_us() {  # small_ns large_ns
  awk -v s="$1" -v l="$2" -v n="$EXTRA_EXCHANGES" 'BEGIN { printf "%.1f", (l - s) / n / 1000 }'
}
echo "latency ${latency} us: $(per_exchange_us "$(median "${small_ns[@]}")" \
  "$(median "${large_ns[@]}")") us per exchange (medians of $runs runs;" \
  "from the fastest runs $(per_exchange_us "$(minimum "${small_ns[@]}")" \
  "$(minimum "${large_ns[@]}")") us)"
