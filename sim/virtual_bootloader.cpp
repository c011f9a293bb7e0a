#include "virtual_bootloader.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kLead = 0x1A;
constexpr uint8_t kProbe = 0x55;
constexpr uint8_t kRestart = 0x57;
constexpr uint8_t kRead = 0x60;
constexpr uint8_t kStart = 0x61;
constexpr uint8_t kData = 0x62;
constexpr uint8_t kErase = 0x64;
constexpr uint8_t kDataAck = 0x70;
constexpr uint8_t kDataDone = 0x71;

constexpr size_t kDataBytesPerPacket = 62;
constexpr size_t kEraseRequestLength = 8;
constexpr size_t kStartRequestLength = 10;
constexpr uint8_t kNoiseByte = 0xEE;

uint32_t Little32(const Report& report, size_t offset) {
  return static_cast<uint32_t>(report[offset]) |
         static_cast<uint32_t>(report[offset + 1]) << 8 |
         static_cast<uint32_t>(report[offset + 2]) << 16 |
         static_cast<uint32_t>(report[offset + 3]) << 24;
}

uint16_t Little16(const Report& report, size_t offset) {
  return static_cast<uint16_t>(report[offset] | report[offset + 1] << 8);
}

size_t KindIndex(RequestKind kind) { return static_cast<size_t>(kind); }

void AppendHex(std::string& text, const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
}

// Echo replies: the request's first `length` bytes, zeros after them. A
// spoiled one changes the command byte so that the echo no longer matches.
void FillEcho(Report& reply, const Report& request, size_t length, bool spoil) {
  std::copy_n(request.begin(), length, reply.begin());
  if (spoil) reply[1] = 0x00;
}

// Bit 0 of each data byte that `bytes` names (bit N: data byte N); one past
// the reply's `count` data bytes names its last, which then flips once.
void FlipDataBits(Report& reply, uint64_t bytes, size_t count) {
  uint64_t flipped = 0;
  for (size_t byte = 0; byte < 64; ++byte) {
    if (bytes >> byte & 1) flipped |= uint64_t{1} << std::min(byte, count - 1);
  }
  for (size_t byte = 0; byte < count; ++byte) {
    if (flipped >> byte & 1) reply[2 + byte] ^= 0x01;
  }
}

std::string HexWord(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

VirtualBootloader::VirtualBootloader(uint32_t flashSize) : flash_(flashSize, 0xFF) {}

HandleResult VirtualBootloader::HandleReport(const Report& report) {
  HandleResult result;
  HandleReport(report, result);
  return result;
}

void VirtualBootloader::HandleReport(const Report& report, HandleResult& result) {
  result.accepted = true;
  result.replies.clear();
  if (unplugged_) {
    // The device is gone: the write never reaches it.
    result.accepted = false;
    return;
  }
  const RequestKind kind = ClassifyRequest(report);
  trace_.push_back(Request{kind, report});
  const int occurrence = ++occurrences_[KindIndex(kind)];
  const FaultHits hits = CollectFaults(kind, occurrence);
  if (hits.unplug) {
    unplugged_ = true;
    result.accepted = false;
    return;
  }
  // A chip that left its bootloader, or one that never answers, still takes
  // the reports of a handle that is open, but does nothing with them.
  if (restarted_ || silent_ || hits.silent) return;
  Execute(kind, report, hits, result);
}

void VirtualBootloader::AddFault(const Fault& fault) { faults_.push_back(fault); }

VirtualBootloader::FaultHits VirtualBootloader::CollectFaults(RequestKind kind,
                                                              int occurrence) const {
  FaultHits hits;
  for (const Fault& fault : faults_) {
    if (fault.kind != kind || fault.occurrence != occurrence) continue;
    switch (fault.effect) {
      case FaultEffect::Silent: hits.silent = true; break;
      case FaultEffect::Wrong: hits.wrong = true; break;
      case FaultEffect::Flip:
        hits.flip = true;
        hits.flipBytes |= uint64_t{1} << std::min(std::max(fault.flipByte, 0), kMaxFlipByte);
        break;
      case FaultEffect::Unplug: hits.unplug = true; break;
      case FaultEffect::Delay: hits.delayMs += std::max<int32_t>(fault.delayMs, 0); break;
    }
  }
  return hits;
}

void VirtualBootloader::Execute(RequestKind kind, const Report& request,
                                const FaultHits& hits, HandleResult& result) {
  switch (kind) {
    case RequestKind::Probe: AnswerProbe(request, hits, result); break;
    case RequestKind::Erase: AnswerErase(request, hits, result); break;
    case RequestKind::Start: AnswerStart(request, hits, result); break;
    case RequestKind::Data: AnswerData(request, hits, result); break;
    case RequestKind::Read: AnswerRead(request, hits, result); break;
    case RequestKind::Restart: AnswerRestart(request); break;
    case RequestKind::Other: break;
  }
}

Report& VirtualBootloader::AddReply(HandleResult& result, const FaultHits& hits) {
  result.replies.emplace_back();
  Reply& reply = result.replies.back();
  reply.bytes.fill(0);
  reply.delayMs = hits.delayMs;
  return reply.bytes;
}

void VirtualBootloader::AnswerProbe(const Report& request, const FaultHits& hits,
                                    HandleResult& result) {
  FillEcho(AddReply(result, hits), request, 2, hits.wrong || hits.flip);
  for (int i = 0; i < noise_; ++i) {
    AddReply(result, hits).fill(kNoiseByte);
    if (noisePerMs_ > 0) result.replies.back().delayMs += i / noisePerMs_;
  }
}

void VirtualBootloader::AnswerErase(const Report& request, const FaultHits& hits,
                                    HandleResult& result) {
  const uint32_t first = Little32(request, 2) & ~(kSectorSize - 1);
  const uint16_t count = Little16(request, 6);
  const uint64_t length = static_cast<uint64_t>(count) * kSectorSize;
  if (count == 0 || !SpanInFlash(first, length)) return;
  std::fill_n(flash_.begin() + first, length, 0xFF);
  FillEcho(AddReply(result, hits), request, kEraseRequestLength, hits.wrong || hits.flip);
}

void VirtualBootloader::AnswerStart(const Report& request, const FaultHits& hits,
                                    HandleResult& result) {
  const uint32_t address = Little32(request, 2);
  const uint32_t length = Little32(request, 6);
  // A refused start also ends any download in progress.
  writeRemaining_ = 0;
  if (length == 0 || !SpanInFlash(address, length)) return;
  writeAddress_ = address;
  writeRemaining_ = length;
  FillEcho(AddReply(result, hits), request, kStartRequestLength, hits.wrong || hits.flip);
}

void VirtualBootloader::AnswerData(const Report& request, const FaultHits& hits,
                                   HandleResult& result) {
  if (writeRemaining_ == 0) return;
  const uint32_t count = std::min<uint32_t>(kDataBytesPerPacket, writeRemaining_);
  // NOR programming only clears bits.
  for (uint32_t i = 0; i < count; ++i) flash_[writeAddress_ + i] &= request[2 + i];
  writeAddress_ += count;
  writeRemaining_ -= count;
  Report& reply = AddReply(result, hits);
  reply[0] = kLead;
  reply[1] = writeRemaining_ == 0 ? kDataDone : kDataAck;
  if (hits.wrong || hits.flip) reply[1] = 0x00;
}

void VirtualBootloader::AnswerRead(const Report& request, const FaultHits& hits,
                                   HandleResult& result) {
  const uint32_t address = Little32(request, 2);
  const uint16_t count = Little16(request, 6);
  if (count < 1 || count > kDataBytesPerPacket || !SpanInFlash(address, count)) return;
  Report& reply = AddReply(result, hits);
  reply[0] = kLead;
  reply[1] = hits.wrong ? kStart : kRead;
  std::copy_n(flash_.begin() + address, count, reply.begin() + 2);
  if (hits.flip) FlipDataBits(reply, hits.flipBytes, count);
}

void VirtualBootloader::AnswerRestart(const Report& request) {
  if (request[2] == 0x01) restarted_ = true;
}

bool VirtualBootloader::SpanInFlash(uint64_t address, uint64_t length) const {
  return address < flash_.size() && length <= flash_.size() - address;
}

RequestKind ClassifyRequest(const Report& report) {
  if (report[0] != kLead) return RequestKind::Other;
  switch (report[1]) {
    case kProbe: return RequestKind::Probe;
    case kErase: return RequestKind::Erase;
    case kStart: return RequestKind::Start;
    case kData: return RequestKind::Data;
    case kRead: return RequestKind::Read;
    case kRestart: return RequestKind::Restart;
    default: return RequestKind::Other;
  }
}

std::string FormatTraceLine(int device, const VirtualBootloader::Request& request) {
  const Report& report = request.report;
  std::string line = "dev" + std::to_string(device) + ' ';
  switch (request.kind) {
    case RequestKind::Probe:
      line += "probe";
      break;
    case RequestKind::Erase:
      line += "erase " + HexWord(Little32(report, 2)) + ' ' + std::to_string(Little16(report, 6));
      break;
    case RequestKind::Start:
      line += "start " + HexWord(Little32(report, 2)) + ' ' + HexWord(Little32(report, 6));
      break;
    case RequestKind::Data:
      line += "data ";
      AppendHex(line, report.data() + 2, kDataBytesPerPacket);
      break;
    case RequestKind::Read:
      line += "read " + HexWord(Little32(report, 2)) + ' ' + std::to_string(Little16(report, 6));
      break;
    case RequestKind::Restart:
      line += "restart";
      break;
    case RequestKind::Other:
      line += "other ";
      AppendHex(line, report.data(), report.size());
      break;
  }
  return line;
}

}  // namespace sim
