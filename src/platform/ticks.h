// Milliseconds of wall-clock time since process start, and sleeps. Every wait
// and time-out reads a tick source: the engine the one its caller gives it,
// the console tool the process's, so tests can run on a virtual clock that
// jumps instead of sleeping.
#pragma once

#include <cstdint>

class TickSource {
 public:
  virtual ~TickSource() = default;
  virtual int32_t Now() = 0;
  virtual void Sleep(int32_t ms) = 0;
};

// The tick counter wraps from its largest value to its smallest after 24.8
// days and goes round in 49.7.
// The process's clock: the system's, unless SetTickSource chose another.
int32_t NowTicks();
void SleepTicks(int32_t ms);
// The process's clock as a tick source; it follows SetTickSource.
TickSource& ProcessTicks();

// Milliseconds from `since` to `now`, two readings of one tick source, right
// across the counter's wrap (negative when since is the later one). Every
// elapsed time of the tool is taken here.
int32_t TicksBetween(int32_t since, int32_t now);
// Milliseconds from `since` to the process clock's now, or to the source's.
int32_t TicksSince(int32_t since);
int32_t TicksSince(TickSource& clock, int32_t since);

// nullptr goes back to the system clock.
void SetTickSource(TickSource* source);
