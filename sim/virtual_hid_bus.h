// An in-process stand-in for hidapi: the hid_* functions the tool calls,
// implemented over a set of virtual bootloaders with hidapi's semantics
// (report ID 0 is not part of the report, hid_read_timeout returns one
// report, 0 on time-out, -1 on error, hid_write fails once unplugged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hidraw_limits.h"
#include "platform/ticks.h"
#include "virtual_bootloader.h"

namespace sim {

// A clock that never sleeps: Sleep moves time forward at once. Jobs on
// several threads may share one.
class VirtualClock : public TickSource {
 public:
  VirtualClock() = default;
  VirtualClock(const VirtualClock& other) : now_(other.now_.load()) {}
  VirtualClock& operator=(const VirtualClock& other) {
    now_ = other.now_.load();
    return *this;
  }
  int32_t Now() override { return now_; }
  void Sleep(int32_t ms) override {
    if (ms > 0) now_ += ms;
  }

 private:
  std::atomic<int32_t> now_{0};
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
  // The first N hid_open_path calls fail so too, as on a node udev has not
  // given its mode yet.
  int deniedOpens = 0;
};

// One report written by the tool, as the stand-in saw it.
struct WriteRecord {
  int device;
  int32_t tick;                 // NowTicks() at the write
  std::vector<uint8_t> buffer;  // exactly what hid_write got, report ID included
};

// An input report on its way to one open handle: it arrives at its ready tick.
struct QueuedInput {
  Report bytes{};
  uint8_t length = 0;      // a report may be shorter than 64 bytes
  int32_t readyTick = 0;   // NowTicks() from which it can be read
};

// The process's virtual USB bus. Every open handle of a device has an input
// queue of its own, as every open file of a hidraw node (and every handle on
// Windows) does: a report the device sends goes to each handle open at that
// moment, in the order the device sends them; a new handle starts empty; a
// report sent while no handle is open is lost, and so is what a handle had
// not read when it closes. A handle holds at most kInputQueueLimit reports
// that have arrived. Each call takes the bus's lock, so jobs on several
// threads can use devices of their own at once; a read that has to wait
// waits without it.
class VirtualHidBus {
 public:
  static constexpr size_t kInputQueueLimit = sim::kInputQueueLimit;

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
  // Reports written to the device so far; safe while jobs run on other
  // threads (writes() and the device's trace are not).
  int writeCount(int index) const;
  // Counts an attempt to open the device; true when the setup denies it.
  bool OpenDenied(int index);
  // Pulls the device's cable; safe while jobs run on other threads.
  void Unplug(int index);
  // Input reports the device's open handles have not read yet, counted per
  // handle: a report waiting for two handles counts twice.
  int pendingInput(int index) const;
  // Input reports the device's handles have read so far.
  int reportsRead(int index) const;
  // The device sends an input report of 1 to 64 bytes (longer ones are cut)
  // that arrives delayMs after now, behind everything it sent before; every
  // handle open now gets a copy.
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
  // A new handle on device `index` with an empty input queue; its number,
  // never reused, or -1 for a bad index.
  int OpenHandle(int index);
  // Drops the handle and what it had not read.
  void CloseHandle(int handle);
  // hid_write: report ID handling, the model, the record. Bytes written or -1.
  int Write(int index, const uint8_t* data, size_t length);
  // hid_read_timeout on a handle: one report, cut to `length`; 0 when none
  // is ready within `milliseconds` (the clock then has moved on by exactly
  // that); -1 once unplugged. A negative time waits for the next queued
  // report; with nothing queued it returns 0 at once, since nothing can
  // arrive without a write.
  int Read(int handle, uint8_t* data, size_t length, int32_t milliseconds);

 private:
  struct Slot {
    VirtualDeviceSetup setup;
    std::unique_ptr<VirtualBootloader> model;
    int32_t lastReadyTick = 0;  // when the report sent last arrives
    bool sentAny = false;
    int reportsRead = 0;
    int openAttempts = 0;
  };
  struct Handle {
    int device;
    std::deque<QueuedInput> input;  // in arrival order
  };

  bool ValidIndex(int index) const;
  bool OnBusLocked(int index) const;
  // The device sends a report at `now`; every handle open gets a copy.
  void Send(int index, const Report& bytes, size_t length, int32_t delayMs, int32_t now);
  static void DropOverflow(std::deque<QueuedInput>& input, int32_t now);

  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Slot>> devices_;
  std::map<int, Handle> handles_;
  int nextHandle_ = 0;
  std::vector<WriteRecord> writes_;
  std::atomic<int> enumerations_{0};
  std::atomic<uint64_t> generation_{0};
  HandleResult scratch_;  // reused for every report, no churn per packet
};

}  // namespace sim
