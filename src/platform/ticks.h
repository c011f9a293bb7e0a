// Milliseconds of wall-clock time since process start, and sleeps. Every wait
// and time-out of the tool reads this one source, so tests can run on a
// virtual clock that jumps instead of sleeping.
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
int32_t NowTicks();
void SleepTicks(int32_t ms);

// Milliseconds from `since` to `now`, two readings of NowTicks(), right
// across the counter's wrap (negative when since is the later one). Every
// elapsed time of the tool is taken here.
int32_t TicksBetween(int32_t since, int32_t now);
// Milliseconds from `since` to the tick source's now.
int32_t TicksSince(int32_t since);

// nullptr goes back to the system clock.
void SetTickSource(TickSource* source);
