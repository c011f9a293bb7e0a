#!/usr/bin/env bash
# Fuzzes every target in tests/fuzz with libFuzzer (clang) for a while.
#
#   tools/fuzz.sh [SECONDS] [JOBS] [TARGET...]
#     (defaults: 600 s per target, one target at a time, every target:
#      hex raw options shell)
#
# Builds the targets in build-fuzz/, then runs each for SECONDS, JOBS at a
# time, starting from the corpus in the tree plus what earlier runs found
# (build-fuzz/fuzz-corpus/NAME). An input that crashes, leaks, hangs or
# breaks a property is kept in build-fuzz/fuzz-findings/NAME/: fix the fault,
# then add the file to tests/fuzz/corpus/NAME/ so it replays in every build.
# Prints executions, executions per second and coverage per target; exits
# non-zero when any target found something. Without clang (and no way to
# install it) it says so and does nothing: with status 0 on a developer's
# machine, and with status 1 in CI (CI=true, as .ci/run sets it), where a
# run that fuzzed nothing must not pass.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
jobs=${2:-1}
targets=(hex raw options shell)
if [ $# -gt 2 ]; then targets=("${@:3}"); fi
build_dir=build-fuzz

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

fuzzer_links() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null
}

# Debian's clang, and its runtime libraries where they come apart from it.
if ! command -v clang++ >/dev/null || ! fuzzer_links; then
  if command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -qq || true
    as_root apt-get install -y -qq --no-install-recommends clang </dev/null || true
    if command -v clang++ >/dev/null && ! fuzzer_links; then
      major=$(clang++ -dumpversion | cut -d. -f1)
      as_root apt-get install -y -qq --no-install-recommends "libclang-rt-$major-dev" </dev/null || true
    fi
  fi
fi
if ! command -v clang++ >/dev/null || ! fuzzer_links; then
  echo "tools/fuzz.sh: clang with libFuzzer is not available; nothing fuzzed" >&2
  [ "${CI:-}" != true ] || { echo "tools/fuzz.sh: in CI (CI=true) that fails the run" >&2; exit 1; }
  exit 0
fi

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_BUILD_FUZZ=ON \
  -DORVEL_BUILD_SIM=OFF -DORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_targets

root=$(pwd)
fuzz_one() {
  local name=$1
  local corpus="$root/$build_dir/fuzz-corpus/$name" findings="$root/$build_dir/fuzz-findings/$name"
  local work="$root/$build_dir/fuzz-work/$name"
  mkdir -p "$corpus" "$findings" "$work"
  # The target's working folder is its own: the shell and option targets
  # name files relative to it.
  (cd "$work" && "$root/$build_dir/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$root/tests/fuzz/corpus/$name") >"$work/log" 2>&1
}

summary() {
  local name=$1 log="$root/$build_dir/fuzz-work/$1/log"
  local runs rate cov status
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  status=clean
  if grep -qE '^==[0-9]+==ERROR|^SUMMARY: |property failed|deadly signal|Test unit written' "$log"; then
    status="FOUND A FAULT (see $log and $build_dir/fuzz-findings/$name/)"
  fi
  printf '%-8s %12s runs %8s exec/s   %-22s %s\n' "$name" "${runs:-?}" "${rate:-?}" "${cov:-?}" "$status"
  [ "$status" = clean ]
}

running=0
for name in "${targets[@]}"; do
  echo "fuzzing $name for $seconds s"
  fuzz_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=0
for name in "${targets[@]}"; do summary "$name" || failed=1; done
exit "$failed"
