// A fixture for the connect and job tests: virtual bootloaders on the
// in-process HID bus, the virtual clock, console text and reasons captured,
// the shared state of the tool put back to its start-up values.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/console_observer.h"
#include "app/tool_state.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "platform/ticks.h"
#include "console_capture.h"
#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/connect.h"
#include "options/dfu_options.h"
#include "virtual_hid_bus.h"

namespace job_test {

// Device paths name the inter-process claim, and test programs run in
// parallel: every process gets paths of its own.
inline const std::string& ProcessToken() {
  static const std::string token = std::to_string(std::random_device{}());
  return token;
}

inline std::string DevicePath(int number) {
  return "/dev/hidraw-job-" + ProcessToken() + "-" + std::to_string(number);
}

// A virtual bootloader at DevicePath(number), as the bus makes it unless
// told otherwise.
inline sim::VirtualDeviceSetup LoaderAt(int number) {
  sim::VirtualDeviceSetup loader;
  loader.path = DevicePath(number);
  return loader;
}

// Attaches LoaderAt(number) to the bus: its index there.
inline int AddBootloader(int number = 0) { return sim::VirtualHidBus::Instance().AddDevice(LoaderAt(number)); }

// A loaded program placed as the option parser would leave it; path names
// it in reasons.
inline ProgramImage PlacedImage(uint32_t start, const std::vector<uint8_t>& bytes, const std::string& path = "") {
  ProgramImage image;
  image.start = start;
  image.requested = start;
  image.length = static_cast<uint32_t>(bytes.size());
  image.bytes.reset(new uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), image.bytes.get());
  image.path = path;
  return image;
}

// Whether the flash of the bus's device `device` holds `bytes` at `at`;
// when not, the first address that differs.
inline testing::AssertionResult FlashHolds(int device, uint32_t at, const std::vector<uint8_t>& bytes) {
  const std::vector<uint8_t>& flash = sim::VirtualHidBus::Instance().device(device).flash();
  char text[80];
  if (at > flash.size() || bytes.size() > flash.size() - at) {
    std::snprintf(text, sizeof text, "%u bytes at 0x%08X pass the end of the flash",
                  static_cast<unsigned>(bytes.size()), static_cast<unsigned>(at));
    return testing::AssertionFailure() << text;
  }
  const auto differ = std::mismatch(bytes.begin(), bytes.end(), flash.begin() + at);
  if (differ.first == bytes.end()) return testing::AssertionSuccess();
  std::snprintf(text, sizeof text, "device %d holds 0x%02X at 0x%08X, not 0x%02X", device, *differ.second,
                static_cast<unsigned>(at + (differ.first - bytes.begin())), *differ.first);
  return testing::AssertionFailure() << text;
}

// What the default virtual device calls itself in the connect line.
constexpr const char* kDefaultDescription = "Orvel ROM Bootloader(HID\\VID_1234&PID_C081&REV_0100)";

inline std::vector<uint8_t> Pattern(uint32_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (uint32_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 31u + seed) ^ (i >> 8));
  }
  return bytes;
}

// The updates of one per-step progress line over a program of `length`
// bytes sent in 62-byte pieces: a new percentage only when it changes, then
// the final 100% with its line end.
inline std::string StepProgress(const std::string& prefix, uint32_t length) {
  std::string text;
  int32_t last = -1;
  for (uint32_t done = 0; done < length;) {
    done += std::min<uint32_t>(62, length - done);
    const int32_t percent = static_cast<int32_t>(done * 100 / length);
    if (percent == last) continue;
    last = percent;
    text += "\r" + prefix + std::to_string(percent) + "%";
  }
  return text + "\r" + prefix + "100%\n";
}

// text with every occurrence of word replaced.
inline std::string Replaced(std::string text, const std::string& word, const std::string& by) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + by.size())) {
    text.replace(at, word.size(), by);
  }
  return text;
}

// The connect step as the tool's jobs run it: on the tool's link and
// search, on the process clock, telling the console.
inline int32_t ToolConnect(bool wait, Reasons* why = nullptr, int32_t timeoutMs = 0) {
  JobContext context{theHidLink, theDeviceSearch, ProcessTicks(), TheConsoleObserver()};
  return ConnectDevice(context, wait, why, timeoutMs);
}

// The reasons as standard error shows them, one line each.
inline std::string ReasonLines(const Reasons& reasons) {
  std::string text;
  for (const Reason& reason : reasons) text += ReasonLine(reason) + "\n";
  return text;
}

class SimJobTest : public testing::Test {
 protected:
  void SetUp() override {
    Bus().Reset();
    clock = sim::VirtualClock();
    console.str("");
    errors.str("");
    CaptureConsole(console, clock);
    SetConsoleErr(&errors);
    UiLanguage = 1;
    LogMode = true;
    theDfuSettings = DfuSettings{};
    ClearProgramImageList();
    theDeviceSearch = DeviceSearch{};
    theDeviceSearch.product_id = 0xC081;
  }

  void TearDown() override {
    theHidLink.Close();
    ClearProgramImageList();
    ReleaseConsole();
    SetConsoleErr(nullptr);
    Bus().Reset();
  }

  static sim::VirtualHidBus& Bus() { return sim::VirtualHidBus::Instance(); }

  static sim::VirtualBootloader& Device(int index) { return Bus().device(index); }

  // A loaded program for the tool's jobs.
  static void AddProgram(uint32_t start, const std::vector<uint8_t>& bytes, const std::string& path = "") {
    theProgramImageList.areaEnd = kLargestProgramArea;
    theProgramImageList.images.push_back(PlacedImage(start, bytes, path));
  }

  static std::vector<std::string> Trace(int index) {
    std::vector<std::string> lines;
    for (const auto& request : Device(index).trace()) {
      lines.push_back(sim::FormatTraceLine(index, request));
    }
    return lines;
  }

  static int CountRequests(int index, sim::RequestKind kind) {
    int count = 0;
    for (const auto& request : Device(index).trace()) {
      if (request.kind == kind) ++count;
    }
    return count;
  }

  // The trace lines of one kind, in order.
  static std::vector<std::string> TraceOf(int index, sim::RequestKind kind) {
    std::vector<std::string> lines;
    for (const auto& request : Device(index).trace()) {
      if (request.kind == kind) lines.push_back(sim::FormatTraceLine(index, request));
    }
    return lines;
  }

  sim::VirtualClock clock;
  std::ostringstream console;
  std::ostringstream errors;  // standard error
};

}  // namespace job_test
