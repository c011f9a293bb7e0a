"""Flashes a program into every Orvel bootloader attached, one thread per
board, with the orvel package:
    ORVEL_LIBRARY=/path/to/liborvel.so.0 python3 flash.py app.hex
A .hex file goes to its own addresses; a raw binary to 0x8000."""
import sys
import threading

import orvel


def flash(device, program):
    try:
        orvel.flash([(program, None if program.endswith(".hex") else 0x8000)], device=device.location)
        print(device.location, device.serial, "PASS")
    except orvel.FlashError as error:
        print(device.location, device.serial, "FAIL:", error)


boards = [threading.Thread(target=flash, args=(device, sys.argv[1])) for device in orvel.list_devices()]
for board in boards:
    board.start()
for board in boards:
    board.join()
