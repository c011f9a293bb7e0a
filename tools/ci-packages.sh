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
debs=("$build_dir/orvel-dfu_${version}_${arch}.deb" "$build_dir/orvel-sim_${version}_${arch}.deb")
ls -l "${debs[@]}"

echo "== lintian (errors fail the run; warnings are listed)"
lintian_status=0
lintian_output=$(lintian --fail-on error "${debs[@]}" 2>&1) || lintian_status=$?
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
  dpkg -r orvel-dfu orvel-sim >/dev/null 2>&1 || true
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
# What bash offers for the words before the cursor, one per line.
completions() {  # completions COMMAND WORD...
  (
    cd "$workdir"
    bash -c '
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

touch "$workdir/app.hex" "$workdir/data.bin"
check "orvel-dfu in /usr/bin shows version $version" version_shown
check "man -w finds orvel-dfu(1) and orvel-sim(1)" man_pages_found
check "udev rule in /usr/lib/udev/rules.d" rule_installed
check "completion: options" completion_offers -p orvel-dfu -
check "completion: file names after -p ADDR" completion_offers app.hex orvel-dfu -p A000 ''
check "completion: file names after --read ADDR LENGTH" completion_offers data.bin orvel-dfu --read 0 1000 ''
check "completion: orvel-sim's --size values" completion_offers 512K orvel-sim --size ''
check "orvel-sim and orvel-dfu from /usr/bin flash a virtual chip" flashes_a_virtual_chip
check "orvel-sim --no-access refuses opening a node" refuses_access

echo "== dpkg -r"
dpkg -r orvel-dfu orvel-sim >/dev/null
gone() { [ ! -e /usr/bin/orvel-dfu ] && [ ! -e /usr/bin/orvel-sim ] && [ ! -e /usr/lib/udev/rules.d/70-orvel-dfu.rules ]; }
check "removed cleanly" gone

if [ "$failures" -ne 0 ]; then
  echo "tools/ci-packages.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "tools/ci-packages.sh: packages built, installed, checked and removed"
