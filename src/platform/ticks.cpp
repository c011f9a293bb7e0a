#include "platform/ticks.h"

#include "platform/platform.h"

namespace {

TickSource* tickSource = nullptr;

// Read at the latest during static initialisation, so ticks count from
// process start even if nothing asks for the time until much later.
int64_t ProcessStartMs() {
  static const int64_t start = platform::MonotonicMs();
  return start;
}
const int64_t processStartMs = ProcessStartMs();

}  // namespace

int32_t NowTicks() {
  if (tickSource != nullptr) return tickSource->Now();
  const auto sinceStart = static_cast<uint64_t>(platform::MonotonicMs() - ProcessStartMs());
  return static_cast<int32_t>(static_cast<uint32_t>(sinceStart));
}

int32_t TicksBetween(int32_t since, int32_t now) {
  // Unsigned arithmetic wraps by definition, as the counter does; signed
  // subtraction would overflow, which is undefined.
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(since));
}

int32_t TicksSince(int32_t since) { return TicksBetween(since, NowTicks()); }

void SleepTicks(int32_t ms) {
  if (tickSource != nullptr) {
    tickSource->Sleep(ms);
    return;
  }
  platform::SleepMs(ms);
}

void SetTickSource(TickSource* source) { tickSource = source; }
