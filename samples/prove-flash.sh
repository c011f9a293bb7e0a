#!/bin/sh
# Proves that a flash image holds a program: compares the bytes of FLASHFILE
# from ADDR on with BINFILE and prints a one-line verdict.
#   prove-flash.sh FLASHFILE BINFILE ADDR     (ADDR in hex, e.g. 8000 or 0x8000)
# Exit status: 0 when the program is there byte for byte, 1 when it is not,
# 2 for a usage error.
set -u

if [ $# -ne 3 ]; then
  echo "usage: prove-flash.sh FLASHFILE BINFILE ADDR" >&2
  exit 2
fi
flash=$1
program=$2
addr_text=${3#0x}
addr_text=${addr_text#0X}

case $addr_text in
  ''|*[!0-9a-fA-F]*) echo "prove-flash: bad address '$3' (hex expected)" >&2; exit 2 ;;
esac
for file in "$flash" "$program"; do
  if [ ! -r "$file" ]; then
    echo "prove-flash: cannot read '$file'" >&2
    exit 2
  fi
done

addr=$((0x$addr_text))
length=$(wc -c < "$program" | tr -d ' ')
flash_length=$(wc -c < "$flash" | tr -d ' ')
where=$(printf '0x%08X' "$addr")

if [ $((addr + length)) -gt "$flash_length" ]; then
  echo "MISMATCH: $program ($length bytes) does not fit in $flash ($flash_length bytes) at $where"
  exit 1
fi
if tail -c +$((addr + 1)) "$flash" | head -c "$length" | cmp -s - "$program"; then
  echo "OK: $flash holds $program ($length bytes) at $where"
  exit 0
fi
first=$(tail -c +$((addr + 1)) "$flash" | head -c "$length" | cmp - "$program" 2>/dev/null |
        sed -n 's/.* byte \([0-9]*\).*/\1/p')
if [ -n "$first" ]; then
  echo "MISMATCH: $flash differs from $program at $(printf '0x%08X' $((addr + first - 1)))"
else
  echo "MISMATCH: $flash does not hold $program at $where"
fi
exit 1
