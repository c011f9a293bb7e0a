// A model of the Orvel ROM bootloader: takes one 64-byte output report and
// yields the input reports it answers with. No I/O of its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Report = std::array<uint8_t, 64>;

enum class RequestKind { Probe, Erase, Start, Data, Read, Restart, Other };

enum class FaultEffect {
  Silent,  // no reply
  Wrong,   // a reply that fails the tool's test
  Flip,    // a read reply with one data bit flipped
  Unplug,  // the device vanishes; this and every later write fails
  Delay,   // the reply comes delayMs late
};

struct Fault {
  RequestKind kind = RequestKind::Probe;
  int occurrence = 1;  // the Nth request of that kind, counting from 1
  FaultEffect effect = FaultEffect::Silent;
  int32_t delayMs = 0;
};

struct Reply {
  Report bytes{};
  int32_t delayMs = 0;  // how long after the request it is sent
};

// What the device did with one output report.
struct HandleResult {
  bool accepted = true;  // false: the write fails (the device is unplugged)
  std::vector<Reply> replies;
};

class VirtualBootloader {
 public:
  static constexpr uint32_t kSectorSize = 4096;

  // flashSize: 256 KiB, 512 KiB or 1 MiB.
  explicit VirtualBootloader(uint32_t flashSize = 1u << 20);

  HandleResult HandleReport(const Report& report);

  void AddFault(const Fault& fault);
  void SetSilent(bool silent) { silent_ = silent; }
  void SetNoise(int reportsAfterProbe) { noise_ = reportsAfterProbe; }

  bool unplugged() const { return unplugged_; }
  bool restarted() const { return restarted_; }  // left its bootloader

  std::vector<uint8_t>& flash() { return flash_; }
  const std::vector<uint8_t>& flash() const { return flash_; }

  struct Request {
    RequestKind kind;
    Report report;
  };
  const std::vector<Request>& trace() const { return trace_; }

 private:
  // ... implementation state
  std::vector<uint8_t> flash_;
  std::vector<Request> trace_;
  std::vector<Fault> faults_;
  bool silent_ = false;
  int noise_ = 0;
  bool unplugged_ = false;
  bool restarted_ = false;
};

RequestKind ClassifyRequest(const Report& report);
// One trace line, e.g. "dev0 erase 0x0000A000 2" (see orvel-sim --trace).
std::string FormatTraceLine(int device, const VirtualBootloader::Request& request);

}  // namespace sim
