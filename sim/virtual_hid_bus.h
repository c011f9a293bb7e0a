// An in-process stand-in for hidapi: the hid_* functions the tool calls,
// implemented over a set of virtual bootloaders with hidapi's semantics
// (report ID 0 is not part of the report, hid_read_timeout returns one
// report, 0 on time-out, -1 on error, hid_write fails once unplugged).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/ticks.h"
#include "virtual_bootloader.h"

namespace sim {

// A clock that never sleeps: Sleep moves time forward at once.
class VirtualClock : public TickSource {
 public:
  int32_t Now() override { return now_; }
  void Sleep(int32_t ms) override {
    if (ms > 0) now_ += ms;
  }

 private:
  int32_t now_ = 0;
};

struct VirtualDeviceSpec {
  std::string path = "/dev/hidraw0";
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0xC081;
  uint16_t release = 0x0100;
  int interfaceNumber = 0;
  std::wstring manufacturer = L"Orvel";
  std::wstring product = L"ROM Bootloader";
  uint32_t flashSize = 1u << 20;
  int appearAfterEnumerations = 0;  // listed from the (N+1)th hid_enumerate on
};

// One report written by the tool, as the stand-in saw it.
struct WriteRecord {
  int device;
  int32_t tick;                 // NowTicks() at the write
  std::vector<uint8_t> buffer;  // exactly what hid_write got, report ID included
};

class VirtualHidBus {
 public:
  static VirtualHidBus& Instance();

  // Removes every device and record; hidapi calls then see an empty bus.
  void Reset();
  // Returns the device's index.
  int AddDevice(const VirtualDeviceSpec& spec);
  VirtualBootloader& device(int index);

  int enumerations() const;
  const std::vector<WriteRecord>& writes() const;
  // Input reports the device queued but nobody read yet.
  int pendingInput(int index) const;
};

}  // namespace sim
