#!/usr/bin/env bash
# End-to-end cases: the real orvel-dfu, linked with the real hidapi, flashing
# virtual bootloaders that orvel-sim puts on emulated hidraw nodes.
#   e2e_test.sh CASE   (ORVEL_SIM, ORVEL_DFU, HID_PROBE, NODE_POLL, SAMPLES_DIR and
#                       E2E_DATA_DIR set)
# Each case works in a directory of its own and prints "1 passed, 0 failed"
# or the first difference it finds.
set -uo pipefail

: "${ORVEL_SIM:?}" "${ORVEL_DFU:?}" "${HID_PROBE:?}" "${NODE_POLL:?}" "${SAMPLES_DIR:?}" "${E2E_DATA_DIR:?}"
export LC_ALL=C.UTF-8 LANG=C.UTF-8
unset LANGUAGE LC_MESSAGES

case_name=${1:?case name}
work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-e2e-XXXXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$SAMPLES_DIR/blinky.bin" "$SAMPLES_DIR/blinky.hex" .

readonly BLINKY_ADDR=0x8000
readonly BLINKY_LEN=$(wc -c < blinky.bin)
readonly DESCRIPTION='Orvel ROM Bootloader(HID\VID_1234&PID_C081&REV_0100)'

fail() {
  echo "FAIL [$case_name]: $*"
  echo "0 passed, 1 failed"
  exit 1
}

expect_status() {  # expected actual what
  [ "$1" = "$2" ] || fail "$3: exit status $2, expected $1"
}

# Elapsed times differ from run to run, and so do the speeds of the note
# after a job.
mask_times() { sed -E -e 's/[0-9]+\.[0-9]{3}s/T.TTTs/g' -e 's/[0-9]+\.[0-9]{3} s \([0-9]+\.[0-9] KB\/s\)/T.TTT s (S KB\/s)/g'; }

# The notes after a job: what it did, or the next step after a failure.
readonly FLASHED="orvel-dfu: note: $BLINKY_LEN bytes written and verified in T.TTT s (S KB/s)"
readonly WRITTEN="orvel-dfu: note: $BLINKY_LEN bytes written in T.TTT s (S KB/s)"  # -m 1: no read-back
readonly NEXT="orvel-dfu: note: next:"
readonly NO_REPLY="$NEXT check the USB cable, put the chip back into its bootloader, then run the same command again"
readonly OUT_OF_STEP="$NEXT put the chip back into its bootloader (reset it into the bootloader), then run the same command again"

expect_text() {  # expected-file actual-file what
  if ! cmp -s "$1" "$2"; then
    echo "--- expected ($3)"; od -c "$1" | head -40
    echo "--- actual"; od -c "$2" | head -40
    diff <(tr '\r' '\n' < "$1") <(tr '\r' '\n' < "$2") | head -20
    fail "$3 differs"
  fi
}

# Flash of SIZE bytes, erased, with FILE placed at ADDR (more pairs may follow).
make_flash() {  # size [addr file]...
  local size=$1; shift
  head -c "$size" /dev/zero | tr '\0' '\377' > expected.flash
  while [ $# -ge 2 ]; do
    dd if="$2" of=expected.flash bs=1 seek=$(($1)) conv=notrunc status=none
    shift 2
  done
}

# The 62-byte DownloadData payloads of FILE as trace lines, FF-filled.
data_lines() {  # dev file
  od -An -v -tx1 -w62 "$2" | tr -d ' \n' | tr 'a-f' 'A-F' | fold -w 124 |
    awk -v dev="$1" '{ while (length($0) < 124) $0 = $0 "FF"; print "dev" dev " data " $0 }'
}

read_lines() {  # dev addr length
  awk -v dev="$1" -v a=$(($2)) -v l=$(($3)) 'BEGIN {
    for (o = 0; o < l; o += 62) printf "dev%d read 0x%08X %d\n", dev, a + o, (l - o > 62 ? 62 : l - o) }'
}

# What the one-shot overall progress line shows for programs of the given
# lengths, mode 0. FAIL_KIND (data or read) and FAIL_AT (the failing packet,
# counting from 1) end it early, as a failed packet does. READ_ONLY set: a
# read with no download before it (--read, --verify-only).
overall_progress() {  # "len..." [fail_kind fail_at [read_only]]
  awk -v lens="$1" -v fail="${2:-}" -v failat="${3:-0}" -v readonly="${4:-}" '
    function show(t, d, final,   p) {
      p = int(d * 100 / t); if (p > 100) p = 100
      if (!final && p > 0 && p == last) return
      last = p; printf "\r>>: %d%%", p; if (final) printf "\n"
    }
    BEGIN {
      n = split(lens, L, " "); S = 0; for (i = 1; i <= n; i++) S += L[i]
      T = readonly ? S : 2 * S; last = 0; show(T, 0, 0); D = 0; k = 0
      if (!readonly) for (i = 1; i <= n; i++) for (off = 0; off < L[i]; ) {
        c = L[i] - off; if (c > 62) c = 62; off += c; D += c; k++; show(T, D, 0)
        if (fail == "data" && k == failat) { show(T, D, 1); exit }
      }
      if (!readonly) { show(T, S, 0); D = S }; k = 0
      for (i = 1; i <= n; i++) for (off = 0; off < L[i]; off += c) {
        c = L[i] - off; if (c > 62) c = 62; D += c; k++; show(T, D, 0)
        if (fail == "read" && k == failat) { show(T, D, 1); exit }
      }
      show(100, 100, 1)
    }'
}

# A per-program progress line of the shell's log mode.
step_progress() {  # prefix length
  awk -v prefix="$1" -v l="$2" '
    function show(d, final,   p) {
      p = int(d * 100 / l); if (p > 100) p = 100
      if (!final && p >= 0 && p == last) return
      last = p; printf "\r%s%d%%", prefix, p; if (final) printf "\n"
    }
    BEGIN { last = -1; for (off = 0; off < l; ) { c = l - off; if (c > 62) c = 62; off += c; show(off, 0) }
            show(l, 1) }'
}

hex8() { printf '0x%08X' $(($1)); }

# Every request of a one-shot job that flashes FILE at ADDR on device DEV.
job_trace() {  # dev addr file
  echo "dev$1 probe"
  echo "dev$1 erase $(hex8 "$2") $(( ($(wc -c < "$3") + 4095) / 4096 ))"
  echo "dev$1 start $(hex8 "$2") $(hex8 "$(wc -c < "$3")")"
  data_lines "$1" "$3"
  read_lines "$1" "$2" "$(wc -c < "$3")"
  printf 'dev%s restart\n' "$1" "$1" "$1"
}

# ---------------------------------------------------------------------------

case_oneshot() {
  # A flash file shorter than the flash, with bytes outside the erased sectors.
  printf 'ORVEL' > seed.bin
  cp seed.bin chip.flash
  "$ORVEL_SIM" --flash chip.flash --trace trace.txt -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 1 $? "one-shot job"
  { overall_progress "$BLINKY_LEN"; echo ">> DFU success! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"

  make_flash $((1 << 20)) 0 seed.bin $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"

  job_trace 0 $BLINKY_ADDR blinky.bin > expected.trace
  expect_text expected.trace trace.txt "trace"
}

case_shell_log() {
  # A relative path: the shell lower-cases what is typed at its prompt.
  printf 'dfu -p 8000 blinky.bin\n' |
    "$ORVEL_SIM" --trace trace.txt -- "$ORVEL_DFU" > out.txt
  expect_status 1 $? "job typed at the prompt"
  local span="($(hex8 $BLINKY_ADDR) - $(hex8 "$BLINKY_LEN") )"
  local ok=">> : Successful execution! (T.TTTs, T.TTTs)"
  {
    echo "Orvel ROM DFU V0.0.1"
    cat "$E2E_DATA_DIR/help_en.txt"
    printf '>> '
    echo ">> Enter DFU"
    echo ">> Querying USB device connections"
    echo ">> : Query connected device: \"$DESCRIPTION\""
    echo ">> Erase Device Flash"
    echo ">> : Erase the Flash area $span$ok"
    echo ">> Download program"
    echo ">> : Download $span"
    step_progress ">> : Download progress: " "$BLINKY_LEN"
    echo "$ok"
    echo ">> Verify"
    echo ">> : Read Verify $span"
    step_progress ">> : Verify progress: " "$BLINKY_LEN"
    echo "$ok"
    echo ">> Restart the device"
    echo "$ok"
    echo ">> DFU success! (T.TTTs)"
  } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "shell transcript"
  [ "$(grep -c restart trace.txt)" = 3 ] || fail "three restarts expected"
}

case_several_programs() {
  # A HEX file placed by its own addresses, a raw copy further up, and a small
  # raw program whose address is not on a 256-byte boundary.
  head -c 100 blinky.bin > small.bin
  # Stray input reports after each probe echo must not disturb the job.
  "$ORVEL_SIM" --size 512K --noise 3 --flash chip.flash --trace trace.txt -- \
    "$ORVEL_DFU" -s 1 -p 30010 small.bin -p FFFFFFFF blinky.hex -p 20000 blinky.bin > out.txt
  expect_status 1 $? "three programs"
  head -c 16 /dev/zero | tr '\0' '\377' > filler.bin
  cat filler.bin small.bin > small_placed.bin
  { overall_progress "$BLINKY_LEN $BLINKY_LEN 116"; echo ">> DFU success! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
  make_flash $((512 << 10)) $BLINKY_ADDR blinky.bin 0x20000 blinky.bin 0x30000 small_placed.bin
  expect_text expected.flash chip.flash "flash after the job"
  printf '%s\n' "dev0 erase 0x00008000 2" "dev0 erase 0x00020000 2" "dev0 erase 0x00030000 1" \
    "dev0 start 0x00008000 0x00001C40" "dev0 start 0x00020000 0x00001C40" \
    "dev0 start 0x00030000 0x00000074" > expected.trace
  grep -E ' (erase|start) ' trace.txt > actual.trace
  expect_text expected.trace actual.trace "erase and start requests"
}

# COUNT bytes that differ from one offset to the next, the same every run.
random_bytes() {  # count seed
  LC_ALL=C awk -v n="$1" -v seed="$2" 'BEGIN { srand(seed); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'
}

case_large_programs() {
  # Programs of 64 KiB and more, so that every length and address carries
  # more than 16 bits. 1 MB: a raw program of 300 KB high up and a HEX one of
  # 200 KB below it; 256 KB: a raw program of 200 KB.
  random_bytes 307200 1 > high.bin
  random_bytes 204800 2 > low.bin
  objcopy -I binary -O ihex --change-addresses 0x10000 low.bin low.hex || fail "objcopy"
  "$ORVEL_SIM" --size 1M --flash chip.flash -- "$ORVEL_DFU" -s 2 -p B0000 high.bin -p FFFFFFFF low.hex > out.txt
  expect_status 1 $? "300 KB and 200 KB programs, -s 2"
  make_flash $((1 << 20)) 0x10000 low.bin 0xB0000 high.bin
  expect_text expected.flash chip.flash "flash after 300 KB and 200 KB programs"

  rm chip.flash
  "$ORVEL_SIM" --size 256K --flash chip.flash -- "$ORVEL_DFU" -s 0 -p 8000 low.bin > out.txt
  expect_status 1 $? "200 KB program, -s 0"
  make_flash $((256 << 10)) 0x8000 low.bin
  expect_text expected.flash chip.flash "flash after a 200 KB program"
}

case_wait_late() {
  # Once restarted, the chip leaves its bootloader: a second job finds nothing.
  # The node goes a moment after the first job closed it (sooner than a real
  # chip re-enumerates); on a loaded machine give that moment up to 10 s.
  "$ORVEL_SIM" --appear-after 1500 --flash chip.flash --trace trace.txt -- \
    sh -c "'$ORVEL_DFU' -w 1 -p 8000 blinky.bin > first.out; echo \$? > first.status;
           i=0; while [ -e \"\$UMOCKDEV_DIR/dev/hidraw0\" ] && [ \$i -lt 200 ]; do sleep 0.05; i=\$((i+1)); done
           '$ORVEL_DFU' -w 0 -p 8000 blinky.bin > second.out"
  expect_status 0 $? "second job after the restart"
  expect_status 1 "$(cat first.status)" "wait for a device attached late"
  tail -n 1 first.out | mask_times | grep -qx '>> DFU success! (T.TTTs)' || fail "no success line"
  mask_times < second.out | grep -qx '>> DFU failed! (T.TTTs)' || fail "the restarted chip is still there"
  [ "$(grep -c probe trace.txt)" = 1 ] || fail "the restarted chip was probed again"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"
}

# Two one-shot jobs started together on one device, each command led by its
# own prefix (environment settings). The first to claim the device is slowed
# down by a late reply; the other looks once meanwhile, finds the device
# claimed, leaves it and says so.
two_jobs_one_device() {  # prefix-a prefix-b
  "$ORVEL_SIM" --fault 0:data:1:delay=900 --flash chip.flash --trace trace.txt -- \
    sh -c "$1 '$ORVEL_DFU' -w 0 -p 8000 blinky.bin > a.out 2> a.err &
           $2 '$ORVEL_DFU' -w 0 -p 8000 blinky.bin > b.out 2> b.err & wait"
  expect_status 0 $? "shell running both"
  local verdicts
  verdicts=$(cat a.out b.out | tr '\r' '\n' | grep -E '^>> DFU' | mask_times | sort | tr '\n' '|')
  [ "$verdicts" = ">> DFU failed! (T.TTTs)|>> DFU success! (T.TTTs)|" ] ||
    fail "one success and one failure expected, got: $verdicts"
  [ "$(grep -c probe trace.txt)" = 1 ] || fail "the device was probed more than once"
  { echo "orvel-dfu: error: /dev/hidraw0 ($DESCRIPTION): in use by another running orvel-dfu"; echo "$FLASHED"; } |
    sort > expected.err
  cat a.err b.err | mask_times | sort > actual.err
  expect_text expected.err actual.err "reason of the instance that found the device claimed"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"
}

case_two_processes() {
  two_jobs_one_device "" ""
}

case_two_tmpdirs() {
  # Per-user temp folders (or sudo beside a user's session) give the two
  # instances different TMPDIRs: they still meet on the device's claim.
  mkdir tmp_a tmp_b
  two_jobs_one_device "TMPDIR='$work/tmp_a'" "TMPDIR='$work/tmp_b'"
}

# Why a job failed, or which device it used, on standard error; standard
# output keeps its verdict line as before.
case_device_reasons() {
  local range="0x00008000..0x00009C40" status
  while IFS='|' read -r name sim_args dfu_args expected_status expected_err; do
    [ -n "$name" ] || continue
    # shellcheck disable=SC2086
    "$ORVEL_SIM" $sim_args -- "$ORVEL_DFU" $dfu_args -p 8000 blinky.bin > out.txt 2> err.txt
    status=$?
    expect_status "$expected_status" "$status" "$name"
    printf '%b' "${expected_err//RANGE/$range}" > expected.err
    mask_times < err.txt > actual.err
    expect_text expected.err actual.err "reasons: $name"
    tr '\r' '\n' < out.txt | tail -n 1 | mask_times | grep -qE '^>> DFU (success|failed|成功|失败)' ||
      fail "$name: no verdict line last on standard output"
  done <<EOF_CASES
no device|--devices 0||0|orvel-dfu: error: no bootloader found: no USB HID interface with product ID 0xC081 is attached\norvel-dfu: note: to wait until the chip's bootloader attaches, add -w 1\n
silent device|--silent 0||0|orvel-dfu: error: /dev/hidraw0 ($DESCRIPTION): failed the probe: no reply within 200 ms\n$NO_REPLY\n
erase answered wrongly|--fault 0:erase:1:wrong||0|orvel-dfu: error: erasing RANGE (blinky.bin) failed: the bootloader's reply was not the echo of the request: expected 1A 64 00 80 00 00 02 00, received 1A 00 00 80 00 00 02 00\n$OUT_OF_STEP\n
unplugged while downloading|--fault 0:data:10:unplug||0|orvel-dfu: error: download of blinky.bin (RANGE) failed at 0x0000822E: the device is gone: writing to it failed (No such device)\n$NEXT the chip left the USB bus; check the USB cable, put the chip back into its bootloader, then run the same command again\n
read-back differs|--fault 0:read:3:flip||0|orvel-dfu: error: verify of blinky.bin (RANGE) failed: first difference at 0x0000807C: written 0x7D, read 0x7C; 1 of the 62 bytes read there differ\n$NEXT run the same command again; if the same address differs again, the chip's flash there may be faulty\n
read-back differs in its last byte|--fault 0:read:3:flip=61||0|orvel-dfu: error: verify of blinky.bin (RANGE) failed: first difference at 0x000080B9: written 0x81, read 0x80; 1 of the 62 bytes read there differ\n$NEXT run the same command again; if the same address differs again, the chip's flash there may be faulty\n
read-back silent|--fault 0:read:2:silent||0|orvel-dfu: error: verify of blinky.bin (RANGE) failed: reading 62 bytes at 0x0000803E failed: no reply within 1000 ms\n$NO_REPLY\n
several devices|--devices 3||1|orvel-dfu: note: 3 bootloaders are attached; used /dev/hidraw0 (serial number ORVEL-SIM-0)\n$FLASHED\n
waiting beside a silent device|--devices 2 --silent 0|-w 1|1|orvel-dfu: note: waiting for a bootloader (USB HID product ID 0xC081) to attach; Ctrl+C ends the wait\norvel-dfu: note: /dev/hidraw0 ($DESCRIPTION): failed the probe: no reply within 200 ms\norvel-dfu: note: 2 bootloaders are attached; used /dev/hidraw1 (serial number ORVEL-SIM-1)\n$FLASHED\n
EOF_CASES
  # In Chinese, as the locale chooses.
  LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8 "$ORVEL_SIM" --fault 0:read:3:flip -- \
    "$ORVEL_DFU" -p 8000 blinky.bin > out.txt 2> err.txt
  expect_status 0 $? "read-back differs, in Chinese"
  {
    echo "orvel-dfu: 错误：校验 blinky.bin（$range）失败：首个不同之处在 0x0000807C：写入 0x7D，读回 0x7C；该次读取的 62 个字节中有 1 个不同"
    echo "orvel-dfu: 提示：下一步：请再次运行同一命令；如果同一地址再次不同，芯片该处的 Flash 可能已损坏"
  } > expected.err
  expect_text expected.err err.txt "reason in Chinese"
}

case_silent_first() {
  "$ORVEL_SIM" --devices 2 --silent 0 --trace trace.txt -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 1 $? "silent device beside a good one"
  grep '^dev0 ' trace.txt > dev0.trace
  printf 'dev0 probe\n' > expected0.trace
  expect_text expected0.trace dev0.trace "requests to the silent device"
  [ "$(sed -n 2p trace.txt)" = "dev1 probe" ] || fail "the second device was not probed next"
  [ "$(grep -c '^dev1 restart' trace.txt)" = 3 ] || fail "the second device was not flashed"
}

case_unplug() {
  "$ORVEL_SIM" --fault 0:data:10:unplug --trace trace.txt -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 0 $? "device unplugged during the download"
  { overall_progress "$BLINKY_LEN" data 10; echo ">> DFU failed! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
  [ "$(grep -c ' data ' trace.txt)" = 10 ] || fail "the download did not stop at packet 10"
  ! grep -q restart trace.txt || fail "a restart was sent after a failure"
}

case_flip() {
  "$ORVEL_SIM" --fault 0:read:3:flip --flash chip.flash --trace trace.txt -- \
    "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 0 $? "one bit flipped on the way back"
  { overall_progress "$BLINKY_LEN" read 3; echo ">> DFU failed! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
  [ "$(grep -c ' read ' trace.txt)" = 3 ] || fail "verification did not stop at read 3"
  ! grep -q restart trace.txt || fail "a restart was sent after a failure"
  # The flash itself is right: only the reply was spoiled.
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"
}

case_latency() {
  # Every reply held back 300 ms: the probe's answer comes too late.
  "$ORVEL_SIM" --latency 300000 --trace trace.txt -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 0 $? "replies later than the probe allows"
  mask_times < out.txt | grep -qx '>> DFU failed! (T.TTTs)' || fail "no failure line"
  printf 'dev0 probe\n' > expected.trace
  expect_text expected.trace trace.txt "trace"
}

case_killed_client() {
  # The first job is stopped while the reply to its erase is on the way, so
  # the reply waits for it, and is then killed. The next job in the same
  # orvel-sim opens the device afresh and must find nothing to read.
  "$ORVEL_SIM" --fault 0:erase:1:delay=1500 --flash chip.flash --trace trace.txt -- sh -c "
    printf 'dfu -p 8000 blinky.bin\n' | '$ORVEL_DFU' > killed.out & job=\$!
    i=0; until grep -q 'Erase the Flash area' killed.out || [ \$i -ge 300 ]; do
      sleep 0.05; i=\$((i + 1)); done
    sleep 0.2; kill -STOP \$job; sleep 2; kill -KILL \$job; wait \$job 2> /dev/null
    '$ORVEL_DFU' -p 8000 blinky.bin > out.txt"
  expect_status 1 $? "job after a killed one"
  { overall_progress "$BLINKY_LEN"; echo ">> DFU success! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
  { echo "dev0 probe"; echo "dev0 erase $(hex8 $BLINKY_ADDR) 2"
    job_trace 0 $BLINKY_ADDR blinky.bin; } > expected.trace
  expect_text expected.trace trace.txt "trace"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"
}

case_closed_output() {
  # The reader of the job's output goes away early; the job still flashes
  # the whole program and its exit status still says so.
  "$ORVEL_SIM" --flash chip.flash -- "$ORVEL_DFU" -p 8000 blinky.bin | head -c 20 > head.out
  local statuses=("${PIPESTATUS[@]}")
  expect_status 1 "${statuses[0]}" "job writing into a closed pipe"
  overall_progress "$BLINKY_LEN" | head -c 20 > expected.out
  expect_text expected.out head.out "what the reader got"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  expect_text expected.flash chip.flash "flash after the job"
}

case_closed_streams() {
  # Started with standard input, output and error closed, neither program
  # lets a device, a socket or a file take their numbers: orvel-sim (and the
  # job under it), then the job alone.
  local run
  for run in orvel-sim orvel-dfu; do
    rm -f chip.flash status.txt
    if [ $run = orvel-sim ]; then
      # What orvel-sim itself holds there, as the command's parent.
      "$ORVEL_SIM" --flash chip.flash -- sh -c "readlink /proc/\$PPID/fd/0 /proc/\$PPID/fd/1 /proc/\$PPID/fd/2 > fds.txt
        '$ORVEL_DFU' -p 8000 blinky.bin; echo \$? > status.txt" <&- >&- 2>&-
      printf '/dev/null\n/dev/null\n/dev/null\n' > expected.fds
      expect_text expected.fds fds.txt "orvel-sim's standard streams"
    else
      "$ORVEL_SIM" --flash chip.flash -- sh -c "'$ORVEL_DFU' -p 8000 blinky.bin <&- >&- 2>&-; echo \$? > status.txt"
    fi
    expect_status 0 $? "orvel-sim, $run started with 0, 1 and 2 closed"
    expect_status 1 "$(cat status.txt 2> /dev/null)" "the job, $run started with 0, 1 and 2 closed"
    make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
    expect_text expected.flash chip.flash "flash after the job, $run started with 0, 1 and 2 closed"
  done
}

case_readiness() {
  # poll() says readable exactly while a reply waits for the file that asked.
  # A file opened only to lock the node (by flock) gets its own copy of the
  # reply but never reads: it must not keep the node readable.
  "$ORVEL_SIM" --devices 2 -- sh -c "flock /dev/hidraw1 '$NODE_POLL' /dev/hidraw1
    '$NODE_POLL' /dev/hidraw0" > poll.txt
  printf 'quiet ready 1A55 quiet\nquiet ready 1A55 quiet\n' > expected.txt
  expect_text expected.txt poll.txt "readiness of the nodes"
}

case_no_access() {
  # The node of device 0 refuses every open, as for a user without the udev
  # rule: hidapi says so, a job never touches that device and takes the other.
  "$ORVEL_SIM" --devices 2 --no-access 0 -- "$HID_PROBE" > probe.txt
  printf '/dev/hidraw0\tORVEL-SIM-0\tFailed to open a device with path %s: Permission denied\n' \
    "'/dev/hidraw0'" > expected.txt
  printf '/dev/hidraw1\tORVEL-SIM-1\topened\n' >> expected.txt
  expect_text expected.txt probe.txt "what hidapi sees"
  "$ORVEL_SIM" --devices 2 --no-access 0 -- sh -c 'exec 3< /dev/hidraw0' 2> err.txt
  [ $? != 0 ] && grep -q 'Permission denied' err.txt || fail "a read-only open was not refused"

  "$ORVEL_SIM" --no-access 0 --trace trace.txt -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 0 $? "the only device cannot be opened"
  echo ">> DFU failed! (T.TTTs)" > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
  [ ! -s trace.txt ] || fail "the refused device was sent requests"

  "$ORVEL_SIM" --devices 2 --no-access 0 --trace trace.txt -- \
    "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 1 $? "the other device is flashed"
  ! grep -q '^dev0' trace.txt || fail "the refused device was sent requests"
}

case_identities() {
  # Every device has a stable serial number and USB location, seen through
  # hidapi and through sysfs as on a real machine.
  "$ORVEL_SIM" --devices 3 -- "$HID_PROBE" > probe.txt
  printf '/dev/hidraw%d\tORVEL-SIM-%d\topened\n' 0 0 1 1 2 2 > expected.txt
  expect_text expected.txt probe.txt "what hidapi lists"
  "$ORVEL_SIM" --devices 3 -- sh -c 'for n in 0 1 2; do
      readlink -f /sys/class/hidraw/hidraw$n/device
      cat /sys/bus/usb/devices/1-2.$((n + 1))/serial; echo
    done' > sysfs.txt
  local n location
  for n in 0 1 2; do
    location=1-2.$((n + 1))
    sed -n "$((2 * n + 1))p" sysfs.txt | grep -q "/$location/$location:1\.0/" ||
      fail "hidraw$n is not below USB device $location: $(sed -n "$((2 * n + 1))p" sysfs.txt)"
    [ "$(sed -n "$((2 * n + 2))p" sysfs.txt)" = "ORVEL-SIM-$n" ] ||
      fail "$location has no serial number ORVEL-SIM-$n"
  done

  # Boot ROMs that share a serial number, and one without any.
  "$ORVEL_SIM" --devices 3 --serial 0:ROM --serial 1:ROM --serial 2: -- sh -c "'$HID_PROBE'
    ls /sys/bus/usb/devices/1-2.3/serial 2> /dev/null" > probe.txt
  printf '/dev/hidraw%d\t%s\topened\n' 0 ROM 1 ROM 2 "" > expected.txt
  expect_text expected.txt probe.txt "what hidapi lists for shared and missing serial numbers"
  # A job refuses a selector that names both, and touches neither.
  "$ORVEL_SIM" --devices 2 --serial 0:ROM --serial 1:ROM --trace trace.txt -- \
    "$ORVEL_DFU" --device ROM -p 8000 blinky.bin > /dev/null 2> err.txt
  expect_status 0 $? "a job selecting a serial number two bootloaders share"
  [ ! -s trace.txt ] || fail "a board was touched: $(head -n 1 trace.txt)"
  {
    echo "orvel-dfu: error: 'ROM' names 2 bootloaders: select one by its path or USB location"
    printf "orvel-dfu: note: 'ROM' names /dev/hidraw%d (USB location 1-2.%d, serial number ROM)\n" 0 1 1 2
  } > expected.err
  expect_text expected.err err.txt "why a shared serial number was refused"
}

case_station() {
  # Twelve boards coming on four ports, board 5 failing its third data
  # packet: a station flashes each as it comes, eleven exactly, logs all
  # twelve, never serves the failed one again, and ends after eleven passed.
  "$ORVEL_SIM" --conveyor 4:3:50 --fault 5:data:3:wrong --flash-dir boards --trace trace.txt -- \
    "$ORVEL_DFU" --station -p 8000 blinky.bin --count 11 --log station.jsonl > out.txt 2> err.txt
  expect_status 0 $? "a station with a failed board"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  local board
  for board in 0 1 2 3 4 6 7 8 9 10 11; do
    expect_text expected.flash "boards/ORVEL-SIM-$board.bin" "flash of board $board"
  done
  ! cmp -s expected.flash boards/ORVEL-SIM-5.bin || fail "the failed board's flash is the program's"
  [ "$(grep -c '^dev5 probe' trace.txt)" = 1 ] || fail "the failed board was served again"
  local failure="download of blinky.bin (0x00008000..0x00009C40) failed at 0x0000807C: the bootloader did not accept the data: expected 1A 70 or 1A 71, received 1A 00"
  [ "$(grep -c '"result":"PASS"' station.jsonl)" = 11 ] && [ "$(wc -l < station.jsonl)" = 12 ] ||
    fail "log records: $(cut -c1-200 station.jsonl)"
  grep '"result":"FAIL"' station.jsonl | grep -qF '"serial":"ORVEL-SIM-5","path":"/dev/hidraw5"' &&
    grep '"result":"FAIL"' station.jsonl | grep -qF "\"text\":\"$failure\"" || fail "the failure's record"
  sed -E 's/^[0-9-]+ [0-9:]+\t(.*)\t[0-9.]+s/TIME\t\1\tT/' out.txt | sort > actual.out
  {
    echo "FAIL	1-2.2	ORVEL-SIM-5	$failure"
    echo "Station: 11 passed, 1 failed"
    for board in 0 1 10 11 2 3 4; do printf 'TIME\t1-2.%d\tORVEL-SIM-%d\tPASS\tT\n' $((board % 4 + 1)) $board; done
    printf 'TIME\t1-2.2\tORVEL-SIM-5\tFAIL\tT\t%s\n' "$failure"
    for board in 6 7 8 9; do printf 'TIME\t1-2.%d\tORVEL-SIM-%d\tPASS\tT\n' $((board % 4 + 1)) $board; done
  } | sort > expected.out
  expect_text expected.out actual.out "the station's lines"

  # SIGTERM (as Ctrl+C; a shell's background job ignores SIGINT): no new
  # board is taken, the ones in progress finish, a summary. A file of its
  # own: the background job makes it only once it runs.
  "$ORVEL_SIM" --conveyor 2:5:50 --latency 300 --flash-dir stopped -- sh -c "
    '$ORVEL_DFU' --station -p 8000 blinky.bin > stopped.out 2> stopped.err & station=\$!
    i=0; until grep -q PASS stopped.out 2> /dev/null || [ \$i -ge 300 ]; do sleep 0.05; i=\$((i + 1)); done
    [ \$i -lt 300 ] || touch no_pass
    kill -TERM \$station; wait \$station; echo \$? > status.txt"
  [ ! -e no_pass ] || fail "no board passed within 15 s of the station's start"
  expect_status 1 "$(cat status.txt)" "a station stopped with SIGTERM"
  local passed
  passed=$(grep -c '	PASS	' stopped.out)
  [ "$(tail -n 1 stopped.out)" = "Station: $passed passed, 0 failed" ] || fail "summary: $(tail -n 1 stopped.out)"
  [ "$(for file in stopped/*.bin; do cmp -s expected.flash "$file" && echo "$file"; done | wc -l)" = "$passed" ] &&
    [ "$passed" -ge 2 ] && [ "$passed" -lt 10 ] || fail "$passed passed; flashes: $(ls stopped)"
}

case_conveyor() {
  # Two ports, two boards each, and a station that flashes whatever board
  # comes: every board once, each port's boards in turn, every flash kept.
  "$ORVEL_SIM" --conveyor 2:2:50 --flash-dir flashes --trace trace.txt -- sh -c "
    '$ORVEL_DFU' --list > list.txt
    for job in 1 2 3 4; do
      '$ORVEL_DFU' -w 1 --timeout 5 -p 8000 blinky.bin > /dev/null 2>&1; [ \$? = 1 ] || exit 9
    done"
  expect_status 0 $? "four jobs on the conveyor"
  printf '/dev/hidraw%d\tORVEL-SIM-%d\t1-2.%d\tfree\t%s\n' 0 0 1 "$DESCRIPTION" 1 1 2 "$DESCRIPTION" \
    > expected.txt
  expect_text expected.txt list.txt "the first board of each port"
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  local board
  for board in 0 1 2 3; do
    expect_text expected.flash "flashes/ORVEL-SIM-$board.bin" "flash of board $board"
    # --list probed the first two.
    { [ $board -ge 2 ] || echo "dev$board probe"; job_trace $board $BLINKY_ADDR blinky.bin; } \
      > expected.trace
    grep "^dev$board " trace.txt > actual.trace
    expect_text expected.trace actual.trace "requests to board $board"
  done
  [ "$(grep -E '^dev[02] ' trace.txt | cut -d' ' -f1 | uniq | tr '\n' ' ')" = "dev0 dev2 " ] &&
    [ "$(grep -E '^dev[13] ' trace.txt | cut -d' ' -f1 | uniq | tr '\n' ' ')" = "dev1 dev3 " ] ||
    fail "boards not served in turn on each port: $(cut -d' ' -f1 trace.txt | uniq | tr '\n' ' ')"

  # A board that fails (silent here) is taken away, and the next one comes
  # in its place with a node of its own; one without a serial number is kept
  # as board-<B>.bin.
  "$ORVEL_SIM" --conveyor 1:3:50 --silent 0 --serial 1: --flash-dir failed --trace trace.txt -- sh -c "
    '$ORVEL_DFU' -w 1 --timeout 5 -p 8000 blinky.bin > /dev/null 2>&1; echo \$? > job.status
    i=0; until [ -e /dev/hidraw2 ] || [ \$i -ge 100 ]; do sleep 0.05; i=\$((i + 1)); done
    '$HID_PROBE'; cat /sys/bus/usb/devices/1-2.1/serial; echo" > probe.txt
  expect_status 1 "$(cat job.status)" "job waiting beside a failed board"
  printf '/dev/hidraw2\tORVEL-SIM-2\topened\nORVEL-SIM-2\n' > expected.txt
  expect_text expected.txt probe.txt "the third board on the port"
  expect_text expected.flash failed/board-1.bin "flash of the board that came next"
  [ "$(ls failed | tr '\n' ' ')" = "ORVEL-SIM-0.bin ORVEL-SIM-2.bin board-1.bin " ] ||
    fail "flash files: $(ls failed | tr '\n' ' ')"
  # hid_probe only opens the third board.
  [ "$(cut -d' ' -f1 trace.txt | uniq | tr '\n' ' ')" = "dev0 dev1 " ] ||
    fail "boards in the trace: $(cut -d' ' -f1 trace.txt | uniq | tr '\n' ' ')"
}

case_no_device() {
  "$ORVEL_SIM" --devices 0 -- "$ORVEL_DFU" -p 8000 blinky.bin > out.txt
  expect_status 0 $? "no device"
  echo ">> DFU failed! (T.TTTs)" > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output"
}

case_sim_command_line() {
  "$ORVEL_SIM" --help > help.txt
  expect_status 0 $? "--help"
  head -n 1 help.txt | grep -q '^Usage: orvel-sim ' || fail "no usage line"
  local bad
  for bad in "--devices 10" "--size 2M" "--fault 0:erase:0:silent" "--fault 0:write:1:silent" \
             "--fault 1:data:1:flip" "--fault 0:data:1:delay=x" "--silent 1" "--no-access 1" \
             "--noise -1" "--latency" "--frobnicate"; do
    # shellcheck disable=SC2086
    "$ORVEL_SIM" $bad -- true 2> err.txt
    expect_status 125 $? "orvel-sim $bad"
    grep -q '^orvel-sim: ' err.txt || fail "no error message for $bad"
  done
  "$ORVEL_SIM" -- true 2> err.txt; expect_status 0 $? "command status 0"
  "$ORVEL_SIM" -- sh -c 'exit 7'; expect_status 7 $? "command status 7"
  "$ORVEL_SIM" -- sh -c 'kill -TERM $$'; expect_status 143 $? "command killed by SIGTERM"
  "$ORVEL_SIM" -- ./no-such-command 2> err.txt; expect_status 127 $? "missing command"
  # A signal to orvel-sim reaches the command; a killed command leaves nothing behind.
  mkdir simtmp
  TMPDIR=$work/simtmp "$ORVEL_SIM" -- sh -c 'trap "exit 9" TERM; kill -TERM $PPID
    i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done; exit 1'
  expect_status 9 $? "SIGTERM forwarded to the command"
  TMPDIR=$work/simtmp "$ORVEL_SIM" -- sh -c 'kill -KILL $$'; expect_status 137 $? "command killed"
  [ -z "$(ls -A simtmp)" ] || fail "orvel-sim left $(ls -A simtmp) behind"
  # The testbed is what the command sees as /sys: the device is there.
  "$ORVEL_SIM" --devices 2 -- sh -c 'cat /sys/class/hidraw/hidraw1/device/uevent' > uevent.txt
  grep -qx 'HID_ID=0003:00001234:0000C081' uevent.txt || fail "hidraw1 has no USB HID parent"
  # The devices' pseudo-terminals are orvel-sim's own, not the command's.
  "$ORVEL_SIM" --devices 2 -- sh -c 'ls -l /proc/$$/fd/' > fds.txt
  ! grep -q ptmx fds.txt || fail "the command inherited a device's pseudo-terminal"
  # The command shares one CPU with the devices, or, with --all-cpus, has
  # every CPU orvel-sim had.
  local cpus=$(grep Cpus_allowed_list /proc/self/status | cut -f2)
  "$ORVEL_SIM" -- sh -c 'grep Cpus_allowed_list /proc/$$/status' | cut -f2 > cpus.txt
  grep -qx '[0-9]*' cpus.txt || fail "the command runs on CPUs $(cat cpus.txt), not one"
  "$ORVEL_SIM" --all-cpus -- sh -c 'grep Cpus_allowed_list /proc/$$/status' | cut -f2 > cpus.txt
  [ "$(cat cpus.txt)" = "$cpus" ] || fail "with --all-cpus the command runs on CPUs $(cat cpus.txt), not $cpus"
}

case_list() {
  # Three devices: three lines, each free, with its serial number and location.
  "$ORVEL_SIM" --devices 3 -- "$ORVEL_DFU" --list > out.txt 2> err.txt
  expect_status 1 $? "--list of three devices"
  local n
  for n in 0 1 2; do
    printf '/dev/hidraw%d\tORVEL-SIM-%d\t1-2.%d\tfree\t%s\n' $n $n $((n + 1)) "$DESCRIPTION"
  done > expected.out
  expect_text expected.out out.txt "three devices listed"
  [ ! -s err.txt ] || fail "reasons for three free devices: $(cat err.txt)"

  # Every state: device 1 held by another process (a lock on its node, as a
  # running orvel-dfu holds it), 2 silent, 3 not to be opened.
  "$ORVEL_SIM" --devices 4 --silent 2 --no-access 3 --trace trace.txt -- \
    flock /dev/hidraw1 "$ORVEL_DFU" --list > out.txt 2> err.txt
  expect_status 1 $? "--list of devices in every state"
  local state
  n=0
  for state in free busy silent no-access; do
    printf '/dev/hidraw%d\tORVEL-SIM-%d\t1-2.%d\t%s\t%s\n' $n $n $((n + 1)) $state "$DESCRIPTION"
    n=$((n + 1))
  done > expected.out
  expect_text expected.out out.txt "states"
  {
    echo "orvel-dfu: warning: /dev/hidraw3 ($DESCRIPTION): cannot be opened: Failed to open a device with path '/dev/hidraw3': Permission denied"
    echo 'orvel-dfu: note: to let your user open it, install the udev rule packaging/udev/70-orvel-dfu.rules (README, section "Using a real chip on Linux")'
  } > expected.err
  expect_text expected.err err.txt "why a device cannot be opened"
  printf 'dev0 probe\ndev2 probe\n' > expected.trace
  expect_text expected.trace trace.txt "only the probes of the devices opened"

  # --device narrows the list; none listed is status 0.
  "$ORVEL_SIM" --devices 3 -- sh -c "'$ORVEL_DFU' --list --device ORVEL-SIM-7 > none.txt 2> /dev/null
    echo \$? > none.status; '$ORVEL_DFU' --list --device 1-2.2 > one.txt"
  expect_status 1 $? "--list --device"
  printf '/dev/hidraw1\tORVEL-SIM-1\t1-2.2\tfree\t%s\n' "$DESCRIPTION" > expected.out
  expect_text expected.out one.txt "--list --device 1-2.2"
  expect_status 0 "$(cat none.status)" "--list of no such device"
  [ ! -s none.txt ] || fail "a line for a device that is not attached"
}

case_select() {
  # By path, serial number and USB location: only the selected device of
  # three is used, and no note says which of several was.
  local selector n
  for selector in /dev/hidraw1:1 ORVEL-SIM-2:2 1-2.1:0; do
    n=${selector##*:}
    "$ORVEL_SIM" --devices 3 --trace trace.txt -- \
      "$ORVEL_DFU" --device "${selector%:*}" -m 1 -p 8000 blinky.bin > out.txt 2> err.txt
    expect_status 1 $? "--device ${selector%:*}"
    grep -v "^dev$n " trace.txt > others.trace
    [ ! -s others.trace ] || fail "--device ${selector%:*} reached another device: $(head -1 others.trace)"
    [ "$(grep -c "^dev$n restart" trace.txt)" = 3 ] || fail "--device ${selector%:*} did not flash device $n"
    echo "$WRITTEN" > expected.err
    mask_times < err.txt > actual.err
    expect_text expected.err actual.err "--device ${selector%:*}: only the note after the job"
  done

  # Waiting for the selected one among devices that attach late.
  "$ORVEL_SIM" --devices 3 --appear-after 800 --trace trace.txt -- \
    "$ORVEL_DFU" -w 1 --device ORVEL-SIM-2 -m 1 -p 8000 blinky.bin > out.txt 2> err.txt
  expect_status 1 $? "waiting for the selected device"
  ! grep -qv '^dev2 ' trace.txt || fail "another device was used while waiting"
  {
    echo "orvel-dfu: note: waiting for bootloader 'ORVEL-SIM-2' (USB HID product ID 0xC081) to attach; Ctrl+C ends the wait"
    echo "$WRITTEN"
  } > expected.err
  mask_times < err.txt > actual.err
  expect_text expected.err actual.err "the wait note"

  # A bounded wait for a silent selected device ends as a query ends: the
  # same standard output and status, and the reasons on standard error.
  "$ORVEL_SIM" --devices 3 --silent 1 --trace trace.txt -- \
    "$ORVEL_DFU" -w 1 --timeout 0.5 --device 1-2.2 -p 8000 blinky.bin > out.txt 2> err.txt
  expect_status 0 $? "--timeout"
  "$ORVEL_SIM" --devices 3 --silent 1 -- "$ORVEL_DFU" --device 1-2.2 -p 8000 blinky.bin > query.txt 2> /dev/null
  expect_status 0 $? "query of a silent device"
  mask_times < out.txt > actual.out
  mask_times < query.txt > expected.out
  expect_text expected.out actual.out "standard output of a wait that gave up"
  {
    echo "orvel-dfu: note: waiting for bootloader '1-2.2' (USB HID product ID 0xC081) to attach for at most 0.5 s; Ctrl+C ends the wait"
    echo "orvel-dfu: note: /dev/hidraw1 ($DESCRIPTION): failed the probe: no reply within 200 ms"
    echo "orvel-dfu: error: gave up after 0.5 s (--timeout): bootloader '1-2.2' could not be used"
  } > expected.err
  expect_text expected.err err.txt "reasons of a wait that gave up"
  ! grep -qv '^dev1 probe$' trace.txt || fail "a device other than the selected one was used"
}

case_dry_run() {
  cp blinky.bin second.bin
  "$ORVEL_SIM" --trace trace.txt -- "$ORVEL_DFU" --dry-run -p 8000 blinky.bin -p 20000 second.bin > out.txt
  expect_status 1 $? "--dry-run of two programs"
  local crc
  crc=$(gzip -c blinky.bin | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ' | tr 'a-f' 'A-F')
  {
    echo "Dry run: the job these options describe; no device is touched"
    echo "Program 'blinky.bin': 0x00008000..0x00009C40, $BLINKY_LEN bytes, CRC-32 0x$crc"
    echo "Program 'second.bin': 0x00020000..0x00021C40, $BLINKY_LEN bytes, CRC-32 0x$crc"
    echo "Erase 0x00008000: 2 sectors"
    echo "Erase 0x00020000: 2 sectors"
    echo "Packets: probe 1, erase 2, download start 2, download data 234, read 234, restart 3; 476 in all"
    echo "USB time: 0.476 s at one exchange per millisecond"
  } > expected.out
  expect_text expected.out out.txt "the plan"
  [ ! -s trace.txt ] || fail "the dry run reached a device"
}

case_read_back() {
  local len_hex
  len_hex=$(printf '%X' "$BLINKY_LEN")
  "$ORVEL_SIM" --flash chip.flash -- "$ORVEL_DFU" -m 1 -p 8000 blinky.bin > /dev/null
  expect_status 1 $? "flash"
  "$ORVEL_SIM" --flash chip.flash --trace trace.txt -- "$ORVEL_DFU" --read 8000 "$len_hex" back.bin > out.txt
  expect_status 1 $? "--read"
  expect_text blinky.bin back.bin "what was read"
  { overall_progress "$BLINKY_LEN" "" 0 1; echo ">> Read $BLINKY_LEN bytes from 0x00008000 into back.bin (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output of --read"
  { echo "dev0 probe"; read_lines 0 $BLINKY_ADDR "$BLINKY_LEN"; } > expected.trace
  expect_text expected.trace trace.txt "requests of --read: no restart"

  # Reads that fail in the middle: an existing file stays as it was, and a
  # new one is never made.
  "$ORVEL_SIM" --flash chip.flash --fault 0:read:40:silent --fault 0:read:80:silent -- sh -c "
    '$ORVEL_DFU' --read 8000 $len_hex back.bin > old.out 2> old.err; echo \$? > old.status
    '$ORVEL_DFU' --read 8000 $len_hex new.bin > new.out"
  expect_status 0 "$(cat old.status)" "--read failing onto an existing file"
  expect_status 0 $? "--read failing onto a new file"
  expect_text blinky.bin back.bin "the existing file after a failed read"
  [ "$(ls | grep -E '^(back|new)\.bin')" = back.bin ] || fail "files after the failed reads: $(ls | tr '\n' ' ')"
  { overall_progress "$BLINKY_LEN" read 40 1; echo ">> Flash read failed! (T.TTTs)"; } > expected.out
  mask_times < old.out > actual.out
  expect_text expected.out actual.out "console output of a failed --read"
  { echo "orvel-dfu: error: reading 62 bytes at 0x00008972 failed: no reply within 1000 ms"; echo "$NO_REPLY"; } > expected.err
  expect_text expected.err old.err "why the read failed"
}

case_read_file() {
  # The file is checked before any device is looked for.
  "$ORVEL_SIM" --trace trace.txt -- "$ORVEL_DFU" --read 0 40000 nodir/out.bin > out.txt 2> err.txt
  expect_status 0 $? "--read into a missing folder"
  [ ! -s out.txt ] || fail "standard output of a refused --read: $(cat out.txt)"
  [ ! -s trace.txt ] || fail "a refused --read reached the device: $(head -1 trace.txt)"
  echo "orvel-dfu: error: cannot write nodir/out.bin: No such file or directory" > expected.err
  expect_text expected.err err.txt "why --read was refused"

  # A signal while a read waits for a late reply: the new file made beside
  # back.bin goes, and back.bin stays as it was. SIGHUP ends the tool;
  # SIGTERM stops the read at its next exchange, a failed read.
  for signal in HUP:129 TERM:0; do
    printf 'old' > back.bin
    "$ORVEL_SIM" --fault 0:read:1:delay=900 -- sh -c "
      '$ORVEL_DFU' --read 8000 100 back.bin > out.txt 2> err.txt & job=\$!
      i=0; until ls back.bin.tmp-* > during.txt 2> /dev/null || [ \$i -ge 200 ]; do sleep 0.02; i=\$((i + 1)); done
      sleep 0.2; kill -${signal%:*} \$job; wait \$job; echo \$? > status.txt"
    expect_status "${signal#*:}" "$(cat status.txt)" "--read ended by SIG${signal%:*}"
    [ "$(wc -l < during.txt)" = 1 ] || fail "no new file beside back.bin while reading: $(ls | tr '\n' ' ')"
    [ -z "$(ls | grep '^back\.bin\.tmp')" ] || fail "left behind after SIG${signal%:*}: $(ls | grep '^back\.bin\.tmp')"
    [ "$(cat back.bin)" = old ] || fail "back.bin changed by SIG${signal%:*}"
  done
}

case_verify_only() {
  make_flash $((1 << 20)) $BLINKY_ADDR blinky.bin
  cp expected.flash chip.flash
  "$ORVEL_SIM" --flash chip.flash --trace trace.txt -- "$ORVEL_DFU" --verify-only -p 8000 blinky.bin > out.txt
  expect_status 1 $? "--verify-only of a flashed chip"
  { overall_progress "$BLINKY_LEN" "" 0 1; echo ">> Verify success! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output of --verify-only"
  { echo "dev0 probe"; read_lines 0 $BLINKY_ADDR "$BLINKY_LEN"; } > expected.trace
  expect_text expected.trace trace.txt "requests of --verify-only: reads only"

  # One byte changed at 0x8100, in the fifth read.
  printf '\125' | dd of=chip.flash bs=1 seek=$((0x8100)) conv=notrunc status=none
  "$ORVEL_SIM" --flash chip.flash -- "$ORVEL_DFU" --verify-only -p 8000 blinky.bin > out.txt 2> err.txt
  expect_status 0 $? "--verify-only of a changed byte"
  { overall_progress "$BLINKY_LEN" read 5 1; echo ">> Verify failed! (T.TTTs)"; } > expected.out
  mask_times < out.txt > actual.out
  expect_text expected.out actual.out "console output of a failed --verify-only"
  local written
  written=$(od -An -tx1 -j $((0x100)) -N 1 blinky.bin | tr -d ' ' | tr 'a-f' 'A-F')
  {
    echo "orvel-dfu: error: verify of blinky.bin (0x00008000..0x00009C40) failed: first difference at 0x00008100: written 0x$written, read 0x55; 1 of the 62 bytes read there differ"
    echo "$NEXT the chip holds other bytes than these programs; to write them, run the same command without --verify-only"
  } > expected.err
  expect_text expected.err err.txt "the first difference"
}

case_interrupt() {
  # Ctrl+C while downloading, each reply held back 10 ms: the job stops at its
  # next packet, ends its line, says where and what to do, sends no restart.
  # (sh runs the tool in the foreground: a background job would ignore SIGINT.)
  "$ORVEL_SIM" --latency 10000 --trace trace.txt -- sh -c "
    (i=0; until grep -q '>>: [1-9]' out.txt 2> /dev/null || [ \$i -ge 300 ]; do sleep 0.05; i=\$((i + 1)); done
     kill -INT \$\$) &
    exec '$ORVEL_DFU' -p 8000 blinky.bin > out.txt 2> err.txt"
  expect_status 0 $? "a job stopped with Ctrl+C"
  tr '\r' '\n' < out.txt | tail -n 2 | mask_times > actual.out
  grep -qE '^>>: [0-9]+%$' actual.out && [ "$(tail -n 1 actual.out)" = ">> DFU failed! (T.TTTs)" ] ||
    fail "no ended progress line and verdict: $(cat actual.out)"
  local sent
  sent=$(grep -c ' data ' trace.txt)
  {
    echo "orvel-dfu: error: download of blinky.bin (0x00008000..0x00009C40) stopped at $(hex8 $((BLINKY_ADDR + 62 * sent)))"
    echo "orvel-dfu: note: the chip stays in its bootloader with an incomplete program; running the same command again finishes the work"
  } > expected.err
  expect_text expected.err err.txt "what a stop says"
  ! grep -q restart trace.txt || fail "a restart was sent after Ctrl+C"
}

case_scripts() {
  # A typo with input that never ends: the reasons and status 2, no prompt.
  mkfifo input
  exec 3<> input
  timeout 10 "$ORVEL_DFU" --posix-exit -P 8000 blinky.bin <&3 > out.txt 2> err.txt
  expect_status 2 $? "--posix-exit, a command line with a typo"
  exec 3>&-
  [ ! -s out.txt ] || fail "the shell opened: $(head -c 80 out.txt)"
  grep -q "^orvel-dfu: error: no program given" err.txt || fail "no reason: $(cat err.txt)"
}

fn="case_${case_name}"
declare -F "$fn" > /dev/null || { echo "unknown case $case_name"; exit 2; }
"$fn"
echo "1 passed, 0 failed"
