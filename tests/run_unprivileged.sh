#!/usr/bin/env bash
# Runs tests that need a user whose file access the system checks: as root
# they skip (root reads and writes files whatever their mode), and CI runs as
# root. Run as root, this runs them again as an unprivileged user (nobody,
# through setpriv) and fails when any of them skips or none runs; run as any
# other user, the suite has run them already and there is nothing to do.
#   run_unprivileged.sh TEST_PROGRAM GTEST_FILTER
set -uo pipefail
program=${1:?test program} filter=${2:?gtest filter}

if [ "$(id -u)" -ne 0 ]; then
  echo "run_unprivileged: not root: the suite ran '$filter' as $(id -un)"
  exit 0
fi
command -v setpriv >/dev/null || { echo "run_unprivileged: setpriv (util-linux) is missing"; exit 1; }

# A temporary folder the user can write, for the test's own files.
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
chown 65534:65534 "$tmp"
log=$(TMPDIR=$tmp setpriv --reuid=65534 --regid=65534 --clear-groups "$program" --gtest_filter="$filter" 2>&1)
status=$?
echo "$log"
if [ "$status" -ne 0 ]; then
  echo "run_unprivileged: failed as nobody (status $status); the build folder must be readable by every user"
  exit 1
fi
if grep -q '^\[  SKIPPED \]' <<<"$log" || ! grep -qE '^\[  PASSED  \] [1-9][0-9]* test' <<<"$log"; then
  echo "run_unprivileged: '$filter' skipped or ran no test as nobody"
  exit 1
fi
