#!/usr/bin/env bash
# Wall time of one exchange (one report written, its reply read) between the
# real orvel-dfu and a virtual bootloader under orvel-sim. Builds nothing.
#
#   bench/sim_exchange.sh [--load] ORVEL_SIM ORVEL_DFU [LATENCY_US] [RUNS]
#
# Each run flashes a small and a large program (download and verify) under one
# orvel-sim each, one right after the other; the difference in wall time over
# the difference in exchanges is the cost of one exchange, free of start-up,
# connect and restart times. Prints the median of the RUNS (default 7) runs'
# costs, and the cost from the fastest small and large jobs, with what an
# exchange adds to the latency and its ratio to it. --load keeps every
# CPU but one busy meanwhile (a shell busy loop on each), as a CI machine that
# runs other tests beside this one is.
set -euo pipefail

usage="usage: sim_exchange.sh [--load] ORVEL_SIM ORVEL_DFU [LATENCY_US] [RUNS]"
load=0
if [ "${1:-}" = --load ]; then
  load=1
  shift
fi
sim=${1:?$usage}
dfu=${2:?$usage}
latency=${3:-0}
runs=${4:-7}

readonly PAYLOAD=62             # data bytes per DownloadData and ReadFlash packet
readonly SMALL_PACKETS=100
readonly LARGE_PACKETS=5100     # 316 KB: 10000 exchanges more than the small job
# Each packet is written once and read back once.
readonly EXTRA_EXCHANGES=$((2 * (LARGE_PACKETS - SMALL_PACKETS)))
readonly GOAL_US=150            # what an exchange may add to the latency

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-bench-XXXXXXXX")
busy_pids=()
cleanup() {
  if [ ${#busy_pids[@]} -gt 0 ]; then kill "${busy_pids[@]}" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# The bytes do not matter to the timing; the same ones every time.
head -c $((SMALL_PACKETS * PAYLOAD)) /dev/zero | tr '\0' '\132' > "$work/small.bin"
head -c $((LARGE_PACKETS * PAYLOAD)) /dev/zero | tr '\0' '\132' > "$work/large.bin"

conditions=idle
if [ "$load" = 1 ]; then
  cpus=$(nproc 2> /dev/null || echo 2)
  for ((cpu = 1; cpu < (cpus > 1 ? cpus : 2); cpu++)); do
    sh -c 'while :; do :; done' &
    busy_pids+=($!)
  done
  conditions="${#busy_pids[@]} of $cpus CPUs busy"
fi

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

# Medians are robust against runs slowed down by other work on the machine;
# each run's own difference, against drifts from one run to the next.
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
minimum() { printf '%s\n' "$@" | sort -n | head -n 1; }
per_exchange_us() {  # small_ns large_ns
  awk -v s="$1" -v l="$2" -v n="$EXTRA_EXCHANGES" 'BEGIN { printf "%.1f", (l - s) / n / 1000 }'
}
run_us=()
for ((run = 0; run < runs; run++)); do
  run_us+=("$(per_exchange_us "${small_ns[run]}" "${large_ns[run]}")")
done
median_us=$(median "${run_us[@]}")
fastest_us=$(per_exchange_us "$(minimum "${small_ns[@]}")" "$(minimum "${large_ns[@]}")")
awk -v us="$median_us" -v fast="$fastest_us" -v lat="$latency" -v runs="$runs" \
  -v goal="$GOAL_US" -v cond="$conditions" 'BEGIN {
    ratio = lat > 0 ? sprintf("%.3f x latency", us / lat) : "ratio to latency n/a"
    printf "latency %d us, %s: %.1f us per exchange = latency + %.1f us, %s, goal latency + %d us %s",
      lat, cond, us, us - lat, ratio, goal, (us - lat <= goal ? "met" : "MISSED")
    printf " (median of %d runs; from the fastest jobs %.1f us)\n", runs, fast
  }'
