#include "platform/ticks.h"

#include <atomic>

#include "platform/platform.h"

namespace {

std::atomic<TickSource*> tickSource{nullptr};

// Read at the latest during static initialisation, so ticks count from
// process start even if nothing asks for the time until much later.
int64_t ProcessStartMs() {
  static const int64_t start = platform::MonotonicMs();
  return start;
}
const int64_t processStartMs = ProcessStartMs();

class ProcessTickSource : public TickSource {
 public:
  int32_t Now() override { return NowTicks(); }
  void Sleep(int32_t ms) override { SleepTicks(ms); }
};

}  // namespace

int32_t NowTicks() {
  if (TickSource* source = tickSource.load()) return source->Now();
  const auto sinceStart = static_cast<uint64_t>(platform::MonotonicMs() - ProcessStartMs());
  return static_cast<int32_t>(static_cast<uint32_t>(sinceStart));
}

void SleepTicks(int32_t ms) {
  if (TickSource* source = tickSource.load()) {
    source->Sleep(ms);
    return;
  }
  platform::SleepMs(ms);
}

TickSource& ProcessTicks() {
  static ProcessTickSource ticks;
  return ticks;
}

int32_t TicksBetween(int32_t since, int32_t now) {
  // Unsigned arithmetic wraps by definition, as the counter does; signed
  // subtraction would overflow, which is undefined.
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(since));
}

int32_t TicksSince(int32_t since) { return TicksBetween(since, NowTicks()); }

int32_t TicksSince(TickSource& clock, int32_t since) { return TicksBetween(since, clock.Now()); }

void SetTickSource(TickSource* source) { tickSource = source; }
