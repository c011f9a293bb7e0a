#!/usr/bin/env bash
# Loading a 1020 KB program from Intel HEX: the tool against GNU objcopy on
# the same file, in one run on the same machine, for records of 16 and of 32
# data bytes.
#
#   bench/hex_vs_objcopy.sh [BUILD_DIR] [RUNS]   (defaults: build, 15)
#
# Makes a 1020 KB binary of fixed pseudo-random bytes and its HEX forms (16
# bytes a record, as objcopy writes them, about 2.9 MB of text; 32 bytes a
# record, about 2.4 MB), then times, RUNS times in turn for each form:
#   - `orvel-dfu --dry-run -s 2 -p FFFFFFFF FILE`: loads and checks the file as
#     a job would, CRC-32 of the image and the plan included;
#   - `orvel-hex-load FILE OUT`: the loader alone, writing the image;
#   - `objcopy -I ihex -O binary FILE OUT`;
# (process start included), checks that the images are the same, and prints
# the medians of wall time and of CPU time (user + system, steadier on a busy
# machine), the CPU ratios to objcopy and each one's peak memory. The goal:
# the dry run takes no more CPU time than objcopy, at both record sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
runs=${2:-15}
loader="$build_dir/bench/orvel-hex-load"
tool="$build_dir/orvel-dfu"
for program in "$loader" "$tool"; do
  if [ ! -x "$program" ]; then
    echo "hex_vs_objcopy: $program is missing; build first (cmake --build $build_dir)" >&2
    exit 1
  fi
done
command -v objcopy >/dev/null || { echo "hex_vs_objcopy: objcopy is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 0xFF000 bytes from a fixed seed, so every run times the same file.
LC_ALL=C awk 'BEGIN { srand(1); for (i = 0; i < 1044480; i++) printf "%c", int(rand() * 256) }' \
  >"$work/program.bin"

# Intel HEX of FILE as objcopy writes it (upper case, CR LF), COUNT data
# bytes a record (a divisor of 65536), and at each 64 KiB boundary after the
# first a type 02 record (a type 04 one from 1 MB on).
make_hex() {  # file count
  od -An -v -tx1 -w"$2" "$1" | LC_ALL=C awk -v n="$2" '
    BEGIN { for (i = 0; i < 256; i++) V[sprintf("%02x", i)] = i }
    function record(address, type, data,   sum, i) {
      sum = length(data) / 2 + int(address / 256) + address % 256 + type
      for (i = 1; i <= length(data); i += 2) sum += V[substr(data, i, 2)]
      printf ":%02X%04X%02X%s%02X\r\n", length(data) / 2, address, type, toupper(data), (256 - sum % 256) % 256
    }
    {
      address = (NR - 1) * n
      if (address > 0 && address % 65536 == 0) {
        if (address < 1048576) record(0, 2, sprintf("%04x", address / 16))
        else record(0, 4, sprintf("%04x", address / 65536))
      }
      data = $0; gsub(/ /, "", data); record(address % 65536, 0, data)
    }
    END { printf ":00000001FF\r\n" }'
}

# "WALL CPU" in milliseconds for one run of the command, whatever its exit
# status (a dry run that would start a job exits with 1).
time_ms() {
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" >/dev/null 2>&1 || true; } 2>&1 | awk '{ printf "%.1f %.1f\n", $1 * 1000, ($2 + $3) * 1000 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { printf '%s\n' "${@:2}" | awk -v c="$1" '{ print $c }' | median; }

# Peak resident memory in KB, where GNU time is there to tell it.
peak_kb() {
  if [ -x /usr/bin/time ]; then /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; else echo "?"; fi
}

echo "image $(stat -c %s "$work/program.bin") bytes, $runs runs each"
for count in 16 32; do
  hex="$work/program$count.hex"
  make_hex "$work/program.bin" "$count" >"$hex"
  dry_args=(--dry-run -s 2 -p FFFFFFFF "$hex")
  status=0
  "$tool" "${dry_args[@]}" >/dev/null || status=$?
  [ "$status" = 1 ] || { echo "hex_vs_objcopy: the dry run refused $hex (status $status)" >&2; exit 1; }
  dry_times=()
  loader_times=()
  objcopy_times=()
  for ((run = 0; run < runs; run++)); do
    dry_times+=("$(time_ms "$tool" "${dry_args[@]}")")
    loader_times+=("$(time_ms "$loader" "$hex" "$work/tool.bin")")
    objcopy_times+=("$(time_ms objcopy -I ihex -O binary "$hex" "$work/objcopy.bin")")
  done
  cmp -s "$work/tool.bin" "$work/program.bin" || { echo "hex_vs_objcopy: the tool's image differs" >&2; exit 1; }
  cmp -s "$work/objcopy.bin" "$work/program.bin" || { echo "hex_vs_objcopy: objcopy's image differs" >&2; exit 1; }

  dry_cpu=$(column 2 "${dry_times[@]}")
  loader_cpu=$(column 2 "${loader_times[@]}")
  objcopy_cpu=$(column 2 "${objcopy_times[@]}")
  echo "$count-byte records: $(stat -c %s "$hex") bytes of HEX text"
  echo "  orvel-dfu --dry-run: median wall $(column 1 "${dry_times[@]}") ms, cpu $dry_cpu ms," \
    "peak $(peak_kb "$tool" "${dry_args[@]}") KB"
  echo "  orvel-hex-load:      median wall $(column 1 "${loader_times[@]}") ms, cpu $loader_cpu ms," \
    "peak $(peak_kb "$loader" "$hex" "$work/tool.bin") KB"
  echo "  objcopy:             median wall $(column 1 "${objcopy_times[@]}") ms, cpu $objcopy_cpu ms," \
    "peak $(peak_kb objcopy -I ihex -O binary "$hex" "$work/objcopy.bin") KB"
  awk -v d="$dry_cpu" -v l="$loader_cpu" -v o="$objcopy_cpu" \
    'BEGIN { printf "  cpu ratio to objcopy: dry run %.2f, loader %.2f%s\n", d / o, l / o,
             d <= o ? "" : "  (the dry run is slower than objcopy)" }'
done
