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

int32_t NowTicks();
void SleepTicks(int32_t ms);

// nullptr goes back to the system clock.
void SetTickSource(TickSource* source);
