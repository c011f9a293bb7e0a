#!/usr/bin/env bash
# Loading a 1020 KB program from Intel HEX: the tool's loader against GNU
# objcopy on the same file, in one run on the same machine.
#
#   bench/hex_vs_objcopy.sh [BUILD_DIR] [RUNS]   (defaults: build, 15)
#
# Makes a 1020 KB binary of fixed pseudo-random bytes and its HEX form
# (objcopy writes 16-byte records, about 2.9 MB of text), then times, RUNS
# times in turn, `orvel-hex-load FILE OUT` and `objcopy -I ihex -O binary FILE
# OUT` (both read the text and write the 1020 KB image, process start
# included), checks that both images are the same, and prints the medians
# of wall time and of CPU time (user + system, steadier on a busy machine),
# their ratios and each one's peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
runs=${2:-15}
loader="$build_dir/bench/orvel-hex-load"
if [ ! -x "$loader" ]; then
  echo "hex_vs_objcopy: $loader is missing; build first (cmake --build $build_dir)" >&2
  exit 1
fi
command -v objcopy >/dev/null || { echo "hex_vs_objcopy: objcopy is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 0xFF000 bytes from a fixed seed, so every run times the same file.
LC_ALL=C awk 'BEGIN { srand(1); for (i = 0; i < 1044480; i++) printf "%c", int(rand() * 256) }' \
  >"$work/program.bin"
objcopy -I binary -O ihex "$work/program.bin" "$work/program.hex"

# "WALL CPU" in milliseconds for one run of the command.
time_ms() {
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.1f %.1f\n", $1 * 1000, ($2 + $3) * 1000 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

tool_times=()
objcopy_times=()
for ((run = 0; run < runs; run++)); do
  tool_times+=("$(time_ms "$loader" "$work/program.hex" "$work/tool.bin")")
  objcopy_times+=("$(time_ms objcopy -I ihex -O binary "$work/program.hex" "$work/objcopy.bin")")
done
cmp -s "$work/tool.bin" "$work/objcopy.bin" || { echo "hex_vs_objcopy: the images differ" >&2; exit 1; }

column() { printf '%s\n' "${@:2}" | awk -v c="$1" '{ print $c }' | median; }
tool_wall=$(column 1 "${tool_times[@]}")
tool_cpu=$(column 2 "${tool_times[@]}")
objcopy_wall=$(column 1 "${objcopy_times[@]}")
objcopy_cpu=$(column 2 "${objcopy_times[@]}")
# Peak resident memory in KB, where GNU time is there to tell it.
peak_kb() {
  if [ -x /usr/bin/time ]; then /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; else echo "?"; fi
}
echo "file: $(stat -c %s "$work/program.hex") bytes of HEX text, image $(stat -c %s "$work/program.bin") bytes, $runs runs"
echo "orvel-hex-load: median wall $tool_wall ms, cpu $tool_cpu ms, peak $(peak_kb "$loader" "$work/program.hex" "$work/tool.bin") KB"
echo "objcopy:        median wall $objcopy_wall ms, cpu $objcopy_cpu ms, peak $(peak_kb objcopy -I ihex -O binary "$work/program.hex" "$work/objcopy.bin") KB"
awk -v tw="$tool_wall" -v ow="$objcopy_wall" -v tc="$tool_cpu" -v oc="$objcopy_cpu" \
  'BEGIN { printf "ratio tool/objcopy: wall %.2f, cpu %.2f\n", tw / ow, tc / oc }'
