#!/usr/bin/env python3
"""Writes blinky.bin and blinky.hex: a small Cortex-M style program image
(vector table, Thumb code, literal pool, version string) for flashing tests.

The bytes come from a fixed seed, so running this again gives the same files.
"""
import os
import struct

BASE = 0x00008000          # where the image goes in flash
SIZE = 0x1C40              # 7232 bytes: not a whole number of 62-byte packets
STACK_TOP = 0x20008000
VECTORS = 48               # 16 system exceptions and 32 interrupts
RECORD_BYTES = 16


class Lcg:
    """A tiny deterministic generator (numerical recipes constants)."""

    def __init__(self, seed):
        self.state = seed

    def next(self, bound):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.state >> 16) % bound


def thumb_function(rng):
    """One function: push, some loads/stores/moves/branches, pop."""
    words = [0xB510]                                  # push {r4, lr}
    for _ in range(4 + rng.next(12)):
        pick = rng.next(8)
        if pick == 0:
            words.append(0x4800 | rng.next(256))      # ldr r0, [pc, #imm]
        elif pick == 1:
            words.append(0x2100 | rng.next(256))      # movs r1, #imm
        elif pick == 2:
            words.append(0x6001)                      # str r1, [r0]
        elif pick == 3:
            words.append(0x6800 | rng.next(64))       # ldr rX, [rY]
        elif pick == 4:
            words += [0xF000, 0xF800 | rng.next(2048)]  # bl
        elif pick == 5:
            words.append(0x3901)                      # subs r1, #1
        elif pick == 6:
            words.append(0xD1FC | (rng.next(2) << 1)) # bne back
        else:
            words.append(0xBF00)                      # nop
    words.append(0xBD10)                              # pop {r4, pc}
    return b"".join(struct.pack("<H", w) for w in words)


def build_image():
    rng = Lcg(0x0BE1)
    code_start = BASE + VECTORS * 4
    vectors = [STACK_TOP, code_start | 1]
    for i in range(2, VECTORS):
        vectors.append((code_start + 0x40 + 4 * i) | 1 if i in (2, 3, 11, 14, 15) or i >= 16 else 0)
    image = bytearray(b"".join(struct.pack("<I", v) for v in vectors))
    version = b"Orvel blinky 1.0\x00"
    pool = b"".join(struct.pack("<I", 0x40020000 + 0x400 * rng.next(8) + 4 * rng.next(8))
                    for _ in range(24))
    room = SIZE - len(image) - len(pool) - len(version)
    while True:
        function = thumb_function(rng)
        if len(function) > room:
            break
        image += function
        room -= len(function)
    image += b"\x00\xbf" * (room // 2) + b"\x00" * (room % 2)
    image += pool + version
    assert len(image) == SIZE
    return bytes(image)


def hex_record(kind, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def to_intel_hex(image):
    lines = [hex_record(0x04, 0, struct.pack(">H", BASE >> 16))]
    for offset in range(0, len(image), RECORD_BYTES):
        lines.append(hex_record(0x00, (BASE + offset) & 0xFFFF, image[offset:offset + RECORD_BYTES]))
    lines.append(hex_record(0x01, 0, b""))
    return "\n".join(lines) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    image = build_image()
    with open(os.path.join(here, "blinky.bin"), "wb") as out:
        out.write(image)
    with open(os.path.join(here, "blinky.hex"), "w", newline="\n") as out:
        out.write(to_intel_hex(image))


if __name__ == "__main__":
    main()
