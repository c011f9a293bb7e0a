// What the console tool needs from the terminal it runs in: Ctrl+C during a
// job, and whether a progress line can be redrawn in place. One
// implementation per platform (terminal_posix.cpp, terminal_win32.cpp); the
// browser build has no console tool and none.
#pragma once

#include <atomic>

namespace platform {

// While caught, the first Ctrl+C (SIGINT) or SIGTERM sets stop instead of
// ending the process, and a second one ends the process at once, as it
// would have without the catch. A signal the process ignores stays ignored.
//   POSIX: the signals are blocked in the calling thread and taken by a
//   thread of their own, so they interrupt no call of the caller's (a read
//   from the device, a sleep) half-way; threads started meanwhile inherit
//   the block.
//   Windows: a console control handler for Ctrl+C and Ctrl+Break.
// One catch at a time; ReleaseStopSignals puts everything back.
void CatchStopSignals(std::atomic<bool>& stop);
// The same for a run that decides itself what each one means (a station:
// the first stops taking boards, the second stops the boards in progress):
// every one adds 1 to count, and none ends the process.
void CountStopSignals(std::atomic<int>& count);
void ReleaseStopSignals();

// True when standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();
// True when standard error is a terminal that takes cursor movements
// (redrawing lines in place).
bool ErrorIsRedrawableTerminal();

}  // namespace platform
