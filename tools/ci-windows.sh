#!/usr/bin/env bash
# Windows build and tests, from Linux: cross-compiles the core, orvel-dfu.exe
# (against the in-process hidapi stand-in: no real devices) and the whole
# in-process test suite with mingw-w64, then runs the suite under Wine, with
# its locale tests once per Windows user locale.
#   tools/ci-windows.sh            build in build-windows/ and run the suite
# Installs what is missing on Debian (mingw-w64, googletest's source, Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine wine64

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

build_dir=build-windows
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
  -DCMAKE_BUILD_TYPE=Release \
  -DORVEL_HIDAPI_STANDIN=ON -DORVEL_HIDAPI_INCLUDE_DIR=/usr/include/hidapi \
  -DORVEL_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DORVEL_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$jobs"

# A private Wine prefix, made for this run, and its server kept running
# through the run (a new one for each test would cost seconds each).
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/orvel-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# The tests that do not name a Windows user locale run under an English one.
export LC_ALL=C.UTF-8
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1 || true

# The whole log goes to a file (skip reasons are read from it); the summary,
# and the output of any failed test, to the terminal.
log="$build_dir/ctest-wine.log"
status=0
ctest --test-dir "$build_dir" -V -j "$jobs" >"$log" 2>&1 || status=$?
sed -n '/tests passed/,$p' "$log"
if [ "$status" -ne 0 ]; then
  ctest --test-dir "$build_dir" --rerun-failed --output-on-failure || true
fi
echo "Skipped under Wine, with their reasons:"
sed -E 's/^[0-9]+: //' "$log" |
  awk '/^\[ RUN +\]/ { test = $NF } /: Skipped$/ { getline reason; print "  " test ": " reason }' | sort -u
exit "$status"
