// Console state for a test: output into the test's stream, time from the
// test's clock, and the clocks and progress memory as at process start
// (jobs of earlier tests in the same process leave theirs behind).
#pragma once

#include <ostream>

#include "console/console.h"
#include "console/output.h"
#include "platform/ticks.h"

inline void CaptureConsole(std::ostream& out, TickSource& clock) {
  SetConsoleOut(&out);
  SetTickSource(&clock);
  SetConsoleEncoding(ConsoleEncoding::Utf8);
  JobClock = 0;
  StepClock = 0;
  LastStepPercent = -1;
  LastOverallPercent = 0;
  ForgetOpenProgressLine();
}

inline void ReleaseConsole() {
  SetConsoleOut(nullptr);
  SetTickSource(nullptr);
  SetConsoleEncoding(ConsoleEncoding::Utf8);
}
