// Runs a full 1020 KB DFU job (mode 0, LogMode off) against the in-process
// virtual bootloader on the virtual clock, so only the host's own work is
// timed, and reports the wall time per device exchange.
//
//   orvel-bench [runs]   (default 5; the best run is reported last)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "app/tool_state.h"
#include "console/output.h"
#include "platform/ticks.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"
#include "virtual_hid_bus.h"

namespace {

constexpr uint32_t kProgramLength = 0xFF000;  // the whole 1020 KB program area

uint8_t PatternByte(uint32_t offset) { return static_cast<uint8_t>((offset * 7u) ^ (offset >> 8)); }

bool LoadBenchProgram() {
  ClearProgramImageList();
  theDfuSettings = DfuSettings{};
  theDfuSettings.flash_size = 2;
  ProgramImage image;
  image.start = 0;
  image.requested = 0;
  image.length = kProgramLength;
  image.bytes.reset(new (std::nothrow) uint8_t[kProgramLength]);
  if (!image.bytes) return false;
  for (uint32_t i = 0; i < kProgramLength; ++i) image.bytes[i] = PatternByte(i);
  theProgramImageList.areaEnd = kProgramLength;
  theProgramImageList.images.push_back(std::move(image));
  return true;
}

bool FlashHoldsProgram(const sim::VirtualBootloader& device) {
  const std::vector<uint8_t>& flash = device.flash();
  if (flash.size() < kProgramLength) return false;
  for (uint32_t i = 0; i < kProgramLength; ++i) {
    if (flash[i] != PatternByte(i)) return false;
  }
  return true;
}

int32_t CountExchanges(const sim::VirtualBootloader& device) {
  int32_t exchanges = 0;
  for (const auto& request : device.trace()) {
    if (request.kind != sim::RequestKind::Restart) ++exchanges;
  }
  return exchanges;
}

struct RunResult {
  bool ok = false;
  double seconds = 0;
  int32_t exchanges = 0;
};

RunResult RunOnce() {
  RunResult result;
  sim::VirtualHidBus& bus = sim::VirtualHidBus::Instance();
  bus.Reset();
  sim::VirtualDeviceSetup loader;
  const int index = bus.AddDevice(loader);
  sim::VirtualClock clock;
  SetTickSource(&clock);
  std::ostringstream console;
  SetConsoleOut(&console);
  LogMode = false;

  const auto begin = std::chrono::steady_clock::now();
  const bool jobOk = RunDfuJob();
  const auto end = std::chrono::steady_clock::now();
  theHidLink.Close();

  SetConsoleOut(nullptr);
  SetTickSource(nullptr);
  result.seconds = std::chrono::duration<double>(end - begin).count();
  result.exchanges = CountExchanges(bus.device(index));
  result.ok = jobOk && FlashHoldsProgram(bus.device(index));
  return result;
}

// Bench output goes the same way as the tool's own.
template <typename... Args>
void Report(const char* format, Args... args) {
  char line[160];
  std::snprintf(line, sizeof line, format, args...);
  ConsoleOut() << line << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (!LoadBenchProgram()) {
    Report("%s", "orvel-bench: out of memory\n");
    return 1;
  }
  double best = 0;
  int32_t exchanges = 0;
  for (int run = 1; run <= runs; ++run) {
    const RunResult result = RunOnce();
    if (!result.ok || result.exchanges == 0) {
      Report("orvel-bench: run %d: the job failed or the flash differs\n", run);
      return 1;
    }
    Report("run %d: %d exchanges in %.3f s, %.2f us per exchange\n", run, result.exchanges,
           result.seconds, result.seconds * 1e6 / result.exchanges);
    if (run == 1 || result.seconds < best) best = result.seconds;
    exchanges = result.exchanges;
  }
  Report("best: 1020 KB job (mode 0), %d exchanges, %.3f s, %.2f us per exchange\n", exchanges,
         best, best * 1e6 / exchanges);
  return 0;
}
