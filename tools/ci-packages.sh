#!/usr/bin/env bash
# Builds the Debian packages from a Release build, checks them with lintian,
# installs them with dpkg, checks what they put in place and that the tools
# run from /usr/bin, then removes them again. Needs root (dpkg -i).
#   tools/ci-packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh dpkg-dev lintian man-db bash-completion

build_dir=build-packages
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" >/dev/null
rm -f "$build_dir"/*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
version=$(dpkg-deb -f "$build_dir"/orvel-dfu_*.deb Version)
arch=$(dpkg --print-architecture)
packages=(orvel-dfu orvel-sim liborvel0 liborvel-dev)
debs=()
for package in "${packages[@]}"; do debs+=("$build_dir/${package}_${version}_${arch}.deb"); done
ls -l "${debs[@]}"

echo "== lintian (errors and warnings fail the run)"
lintian_status=0
lintian_output=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || lintian_status=$?
grep -v 'running with root privileges' <<<"$lintian_output" || echo "(no errors, no warnings)"
[ "$lintian_status" -eq 0 ]

failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok: $1"
  else
    echo "FAILED: $1" >&2
    failures=$((failures + 1))
  fi
}

workdir=$(mktemp -d "${TMPDIR:-/tmp}/orvel-packages.XXXXXX")
cleanup() {
  dpkg -r "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$workdir"
}
trap cleanup EXIT

echo "== dpkg -i"
dpkg -i "${debs[@]}" >/dev/null

# The version line: from --version, or from the shell's greeting on a
# command line it does not run as a job.
version_shown() {
  /usr/bin/orvel-dfu --version </dev/null 2>/dev/null | head -n 1 | grep -q "V\?${version}\b"
}
rule_installed() {
  [ -f /usr/lib/udev/rules.d/70-orvel-dfu.rules ] &&
    grep -q 'ATTRS{idProduct}=="c081"' /usr/lib/udev/rules.d/70-orvel-dfu.rules
}
man_pages_found() {
  [ "$(man -w orvel-dfu)" = /usr/share/man/man1/orvel-dfu.1.gz ] &&
    [ "$(man -w orvel-sim)" = /usr/share/man/man1/orvel-sim.1.gz ]
}
# What bash offers for the words before the cursor, one per line; with
# ORVEL_SIM_DEVICES=N, while orvel-sim attaches N virtual bootloaders.
completions() {  # completions COMMAND WORD...
  local runner=()
  [ -n "${ORVEL_SIM_DEVICES:-}" ] && runner=(/usr/bin/orvel-sim --devices "$ORVEL_SIM_DEVICES" --)
  (
    cd "$workdir"
    "${runner[@]}" bash -c '
      source /usr/share/bash-completion/bash_completion
      source "/usr/share/bash-completion/completions/$1"
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
      COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
      "_${1//-/_}" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}"' _ "$@"
  )
}
completion_offers() {  # completion_offers EXPECTED COMMAND WORD...
  completions "${@:2}" | grep -x -- "$1" >/dev/null  # not -q: an early exit would fail the pipe
}
# --device offers the serial numbers and USB locations that --list shows.
offers_attached_devices() {
  ORVEL_SIM_DEVICES=2 completion_offers ORVEL-SIM-1 orvel-dfu --device '' &&
    ORVEL_SIM_DEVICES=2 completion_offers 1-2.2 orvel-dfu -w 1 --device=
}
silent_without_devices() {
  [ -z "$(completions orvel-dfu --device '' 2>&1)" ]
}
flashes_a_virtual_chip() {
  local status=0
  (cd "$workdir" && /usr/bin/orvel-sim --flash flash.bin -- /usr/bin/orvel-dfu -p FFFFFFFF \
    "$OLDPWD/samples/blinky.hex" >/dev/null) || status=$?
  [ "$status" -eq 1 ] && samples/prove-flash.sh "$workdir/flash.bin" samples/blinky.bin 8000 >/dev/null
}
# --no-access finds its preload library where the package put it.
refuses_access() {
  local output
  output=$(cd "$workdir" && /usr/bin/orvel-sim --no-access 0 -- cat /dev/hidraw0 2>&1) || true
  grep -q 'Permission denied' <<<"$output"
}

# The library as its users build against it: with pkg-config, with CMake,
# and from Python through the system's library path.
c_example_flashes() {
  cc examples/flash.c $(pkg-config --cflags --libs orvel) -o "$workdir/flash-c" &&
    (cd "$workdir" && /usr/bin/orvel-sim --flash c.bin -- ./flash-c "$OLDPWD/samples/blinky.hex" >/dev/null) &&
    samples/prove-flash.sh "$workdir/c.bin" samples/blinky.bin 8000 >/dev/null
}
cmake_finds_the_package() {
  mkdir -p "$workdir/cmake-user" &&
    printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(user C)' 'find_package(orvel 0.0 REQUIRED)' \
      "add_executable(flash $PWD/examples/flash.c)" 'target_link_libraries(flash PRIVATE orvel::orvel)' \
      > "$workdir/cmake-user/CMakeLists.txt" &&
    cmake -S "$workdir/cmake-user" -B "$workdir/cmake-user/build" >/dev/null &&
    cmake --build "$workdir/cmake-user/build" >/dev/null
}
python_finds_the_library() {
  (cd "$workdir" && env -u ORVEL_LIBRARY PYTHONPATH="$OLDPWD/python" /usr/bin/orvel-sim -- python3 -c \
    'import orvel; assert orvel.version() == "Orvel ROM DFU V0.0.1"; assert [d.state for d in orvel.list_devices()] == ["free"]')
}

touch "$workdir/app.hex" "$workdir/data.bin"
check "orvel-dfu in /usr/bin shows version $version" version_shown
check "man -w finds orvel-dfu(1) and orvel-sim(1)" man_pages_found
check "udev rule in /usr/lib/udev/rules.d" rule_installed
check "completion: options" completion_offers -p orvel-dfu -
check "completion: file names after -p ADDR" completion_offers app.hex orvel-dfu -p A000 ''
check "completion: file names after --read ADDR LENGTH" completion_offers data.bin orvel-dfu --read 0 1000 ''
check "completion: file names after --read=ADDR LENGTH" completion_offers data.bin orvel-dfu --read=0 1000 ''
check "completion: --name= forms among the options" completion_offers --timeout= orvel-dfu --t
check "completion: --device offers the attached bootloaders' serials and USB locations" offers_attached_devices
check "completion: --device offers nothing, and says nothing, with no bootloader attached" silent_without_devices
check "completion: --progress styles" completion_offers rich orvel-dfu --progress ''
check "completion: orvel-sim's --size values" completion_offers 512K orvel-sim --size ''
check "orvel-sim and orvel-dfu from /usr/bin flash a virtual chip" flashes_a_virtual_chip
check "orvel-sim --no-access refuses opening a node" refuses_access
check "examples/flash.c built with pkg-config flashes a virtual chip" c_example_flashes
check "find_package(orvel) gives orvel::orvel" cmake_finds_the_package
check "the Python package finds liborvel.so.0 on the system" python_finds_the_library

echo "== dpkg -r"
dpkg -r "${packages[@]}" >/dev/null
gone() {
  [ ! -e /usr/bin/orvel-dfu ] && [ ! -e /usr/bin/orvel-sim ] && [ ! -e /usr/lib/udev/rules.d/70-orvel-dfu.rules ] &&
    [ ! -e /usr/include/orvel/orvel.h ] && ! ls /usr/lib/*/liborvel.so* >/dev/null 2>&1
}
check "removed cleanly" gone

if [ "$failures" -ne 0 ]; then
  echo "tools/ci-packages.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "tools/ci-packages.sh: packages built, installed, checked and removed"
