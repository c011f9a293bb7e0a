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
  Flip,    // a read reply with one data bit flipped (bit 0 of data byte flipByte)
  Unplug,  // the device vanishes; this and every later write fails
  Delay,   // the reply comes delayMs late
};

// Which requests a fault hits and what it does to them:
// - Silent: the chip ignores the request (no effect, no reply).
// - Wrong: the command takes effect but the reply fails the tool's test
//   (probe/erase/start echo and data ack with byte 1 set to 0x00, read reply
//   marked 1A 61).
// - Flip: a read reply with bit 0 of data byte `flipByte` flipped (counting
//   from 0 within the reply's data; a shorter reply flips its last data
//   byte), flash unchanged; on any other kind it acts as Wrong.
// - Unplug: the request is traced but has no effect, its write and every later
//   one fail, and the device leaves the bus.
// - Delay: the command takes effect and its replies come delayMs late.
struct Fault {
  RequestKind kind = RequestKind::Probe;
  int occurrence = 1;  // the Nth request of that kind, counting from 1
  FaultEffect effect = FaultEffect::Silent;
  int32_t delayMs = 0;
  int flipByte = 0;  // Flip: which data byte, 0 to kMaxFlipByte
};

// A read reply carries at most 62 data bytes.
constexpr int kMaxFlipByte = 61;

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

  // Every report is traced, except those after an unplug (they never reach
  // the chip). Requests outside the flash, a data packet with no download in
  // progress and unknown commands get no reply and change nothing; so does
  // everything once the chip is silent or has restarted (1A 57 01).
  HandleResult HandleReport(const Report& report);
  // The same, filling `result` in place so that a caller on a hot path can
  // reuse its reply storage.
  void HandleReport(const Report& report, HandleResult& result);

  void AddFault(const Fault& fault);
  void SetSilent(bool silent) { silent_ = silent; }
  // After each probe echo, `reportsAfterProbe` unsolicited input reports,
  // `reportsPerMs` of them a millisecond (0: all at once).
  void SetNoise(int reportsAfterProbe, int reportsPerMs = 0) {
    noise_ = reportsAfterProbe;
    noisePerMs_ = reportsPerMs;
  }
  // Pulls the cable: every later write fails.
  void Unplug() { unplugged_ = true; }

  bool unplugged() const { return unplugged_; }
  bool restarted() const { return restarted_; }  // left its bootloader

  uint32_t flashSize() const { return static_cast<uint32_t>(flash_.size()); }
  std::vector<uint8_t>& flash() { return flash_; }
  const std::vector<uint8_t>& flash() const { return flash_; }

  struct Request {
    RequestKind kind;
    Report report;
  };
  const std::vector<Request>& trace() const { return trace_; }

 private:
  struct FaultHits {
    bool silent = false;
    bool wrong = false;
    bool flip = false;
    uint64_t flipBytes = 0;  // bit N: flip data byte N of a read reply
    bool unplug = false;
    int32_t delayMs = 0;
  };

  FaultHits CollectFaults(RequestKind kind, int occurrence) const;
  void Execute(RequestKind kind, const Report& request, const FaultHits& hits,
               HandleResult& result);
  void AnswerProbe(const Report& request, const FaultHits& hits, HandleResult& result);
  void AnswerErase(const Report& request, const FaultHits& hits, HandleResult& result);
  void AnswerStart(const Report& request, const FaultHits& hits, HandleResult& result);
  void AnswerData(const Report& request, const FaultHits& hits, HandleResult& result);
  void AnswerRead(const Report& request, const FaultHits& hits, HandleResult& result);
  void AnswerRestart(const Report& request);
  bool SpanInFlash(uint64_t address, uint64_t length) const;
  static Report& AddReply(HandleResult& result, const FaultHits& hits);

  std::vector<uint8_t> flash_;
  std::vector<Request> trace_;
  std::vector<Fault> faults_;
  bool silent_ = false;
  int noise_ = 0;
  int noisePerMs_ = 0;
  bool unplugged_ = false;
  bool restarted_ = false;
  uint32_t writeAddress_ = 0;    // where the next DownloadData goes
  uint32_t writeRemaining_ = 0;  // bytes the current download still expects
  int occurrences_[7] = {};      // requests seen so far, per RequestKind
};

RequestKind ClassifyRequest(const Report& report);
// One trace line, e.g. "dev0 erase 0x0000A000 2" (see orvel-sim --trace).
std::string FormatTraceLine(int device, const VirtualBootloader::Request& request);

}  // namespace sim
