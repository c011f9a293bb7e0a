#!/usr/bin/env bash
# Builds Orvel DFU and runs the whole test suite.
#   tools/test.sh              normal build in build/
#   tools/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-sanitize
  cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DORVEL_SANITIZE=ON)
  # Any sanitizer report fails the run.
  export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" "${cmake_args[@]}"
cmake --build "$build_dir" -j "$jobs"
# The end-to-end tests need orvel-sim; never let a missing libumockdev skip them quietly.
if [ "$(uname -s)" = Linux ] && [ ! -x "$build_dir/orvel-sim" ]; then
  echo "tools/test.sh: orvel-sim was not built (is libumockdev-dev installed?)" >&2
  exit 1
fi
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
