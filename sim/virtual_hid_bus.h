// An in-process stand-in for hidapi: the hid_* functions the tool calls,
// implemented over a set of virtual bootloaders with hidapi's semantics
// (report ID 0 is not part of the report, hid_read_timeout returns one
// report, 0 on time-out, -1 on error, hid_write fails once unplugged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/ticks.h"
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

struct VirtualDeviceSetup {
  std::string path = "/dev/hidraw0";
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0xC081;
  uint16_t release = 0x0100;
  int interfaceNumber = 0;
  std::wstring manufacturer = L"Orvel";
  std::wstring product = L"ROM Bootloader";
  uint32_t flashSize = 1u << 20;
  int appearAfterEnumerations = 0;  // listed from the (N+1)th hid_enumerate on
  std::wstring serial;              // empty: the entry carries no serial number
  // Nonzero: hid_write pads a shorter report to this length and returns the
  // padded count, as hidapi's Windows backend does.
  size_t outputReportLength = 0;
  bool openDenied = false;  // hid_open_path fails as on a node the user may not open
};

// One report written by the tool, as the stand-in saw it.
struct WriteRecord {
  int device;
  int32_t tick;                 // NowTicks() at the write
  std::vector<uint8_t> buffer;  // exactly what hid_write got, report ID included
};

// An input report waiting in a device's queue until its ready tick.
struct QueuedInput {
  Report bytes{};
  uint8_t length = 0;      // a report may be shorter than 64 bytes
  int32_t readyTick = 0;   // NowTicks() from which it can be read
};

// The process's virtual USB bus. Input reports queue per device, in the order
// the device sends them; every open handle of a device reads from that one
// queue, and closing a device's last handle drops what nobody read (as a
// hidraw node does). Not thread-safe: the tool runs on one thread.
class VirtualHidBus {
 public:
  static VirtualHidBus& Instance();

  // Removes every device and record; hidapi calls then see an empty bus.
  // Handles opened before a Reset fail every call afterwards.
  void Reset();
  // Returns the device's index.
  int AddDevice(const VirtualDeviceSetup& setup);
  // index: one that AddDevice returned since the last Reset.
  VirtualBootloader& device(int index);
  const VirtualDeviceSetup& setup(int index) const;
  int deviceCount() const { return static_cast<int>(devices_.size()); }

  int enumerations() const;
  const std::vector<WriteRecord>& writes() const;
  // Input reports the device queued but nobody read yet.
  int pendingInput(int index) const;
  // Queues an input report of 1 to 64 bytes (longer ones are cut) that can be
  // read delayMs after now, behind everything the device already queued.
  void QueueInput(int index, const std::vector<uint8_t>& bytes, int32_t delayMs = 0);

  // The stand-in's side (hidapi_standin.cpp), hidapi's semantics throughout.
  // Whether the device is on the bus: plugged, still in its bootloader, and
  // appeared (its appearAfterEnumerations enumerations have run).
  bool OnBus(int index) const;
  // Counts one hid_enumerate call; devices OnBus before it are listed.
  void CountEnumeration() { ++enumerations_; }
  // The first device with this path that is on the bus, or -1.
  int FindOpenable(const char* path) const;
  uint64_t generation() const { return generation_; }
  void NoteOpened(int index);
  void NoteClosed(int index);
  // hid_write: report ID handling, the model, the record. Bytes written or -1.
  int Write(int index, const uint8_t* data, size_t length);
  // hid_read_timeout: one report, cut to `length`; 0 when none is ready within
  // `milliseconds` (the clock then has moved on by exactly that); -1 once
  // unplugged. A negative time waits for the next queued report; with nothing
  // queued it returns 0 at once, since nothing can arrive without a write.
  int Read(int index, uint8_t* data, size_t length, int32_t milliseconds);

 private:
  struct Slot {
    VirtualDeviceSetup setup;
    std::unique_ptr<VirtualBootloader> model;
    std::deque<QueuedInput> input;
    int openHandles = 0;
  };

  bool ValidIndex(int index) const;
  void Enqueue(Slot& slot, const Report& bytes, size_t length, int32_t delayMs);

  std::vector<std::unique_ptr<Slot>> devices_;
  std::vector<WriteRecord> writes_;
  int enumerations_ = 0;
  uint64_t generation_ = 0;
  HandleResult scratch_;  // reused for every report, no churn per packet
};

}  // namespace sim
