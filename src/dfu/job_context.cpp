#include "dfu/job_context.h"

#include <algorithm>

namespace {

constexpr int32_t kPauseSliceMs = 20;

}  // namespace

bool JobContext::Pause(int32_t ms) {
  if (cancel == nullptr) {
    clock.Sleep(ms);
    return true;
  }
  const int32_t start = clock.Now();
  for (int32_t left = ms; left > 0; left = ms - TicksSince(clock, start)) {
    if (Cancelled()) return false;
    clock.Sleep(std::min(left, kPauseSliceMs));
  }
  return !Cancelled();
}
