#!/usr/bin/env bash
# tools/fuzz.sh where no clang can be found or installed (a PATH that holds
# only what the script needs before it looks): it fuzzes nothing, and says
# so with status 0 on a developer's machine and status 1 in CI (CI=true).
#   fuzz_script_test.sh TOOLS_FUZZ_SH
set -u
script=${1:?path of tools/fuzz.sh}
bash=$(command -v bash)
bin=$(mktemp -d) || exit 1
trap 'rm -rf "$bin"' EXIT
ln -s "$(command -v dirname)" "$bin/dirname"
env -u CI PATH="$bin" "$bash" "$script" 1 1 2> "$bin/dev.err"
developer=$?
env CI=true PATH="$bin" "$bash" "$script" 1 1 2> "$bin/ci.err"
ci=$?
if [ "$developer" = 0 ] && [ "$ci" = 1 ] && grep -q 'nothing fuzzed' "$bin/ci.err"; then
  echo "1 passed, 0 failed"
else
  echo "FAIL: without clang, status $developer outside CI (expected 0) and $ci in CI (expected 1)"
  cat "$bin/dev.err" "$bin/ci.err"
  echo "0 passed, 1 failed"
  exit 1
fi
