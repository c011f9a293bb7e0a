"""Three boards flashed from three Python threads against one board alone,
under orvel-sim with a latency per reply (bench/python_threads.sh runs it).
Prints both times and their ratio; the goal is at most 1.2."""

import sys
import threading
import time

import orvel

LENGTH = int(sys.argv[1]) if len(sys.argv) > 1 else 0x10000
PROGRAM = bytes((i * 7) & 0xFF for i in range(LENGTH))


def flash(location):
    orvel.flash([(PROGRAM, 0x8000)], device=location, flash_size=2)


def timed(locations):
    begin = time.monotonic()
    threads = [threading.Thread(target=flash, args=(location,)) for location in locations]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.monotonic() - begin


one = timed(["1-2.1"])
three = timed(["1-2.2", "1-2.3", "1-2.4"])
print("%d bytes with read-back: one board %.2f s, three boards from three threads %.2f s: %.2fx"
      % (LENGTH, one, three, three / one))
