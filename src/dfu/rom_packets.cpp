// The ROM bootloader's command packets, their replies and time-outs.
#include "dfu/rom_packets.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "device/hid_link.h"
#include "dfu/failure_reasons.h"

namespace {

constexpr int32_t kProbeTimeoutMs = 200;
constexpr int32_t kCommandTimeoutMs = 1000;  // read, download start, download data
constexpr int64_t kEraseMsPerSector = 2000;

constexpr int32_t kProbeLength = 2;
constexpr int32_t kRestartLength = 3;
constexpr int32_t kReadFlashLength = 8;
constexpr int32_t kDownloadStartLength = 10;
constexpr int32_t kDownloadDataLength = 64;
constexpr int32_t kEraseLength = 8;
constexpr int32_t kDataAckLength = 3;
constexpr int32_t kReadReplyHeader = 2;

constexpr uint8_t kDataAccepted = 0x70;
constexpr uint8_t kDataAcceptedLast = 0x71;

RomPacket StartPacket(RomCommand command, int32_t length) {
  RomPacket packet;
  packet.bytes[0] = kRomLead;
  packet.bytes[1] = static_cast<uint8_t>(command);
  packet.length = length;
  return packet;
}

void PutLe16(RomPacket& packet, size_t offset, uint16_t value) {
  packet.bytes[offset] = static_cast<uint8_t>(value);
  packet.bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(RomPacket& packet, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) packet.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Sends packet and takes replyLength bytes of reply; true when they arrived
// in time, else why says what happened.
bool ExchangePacket(DeviceLink& link, const RomPacket& packet, uint8_t* reply, int32_t replyLength,
                    int32_t timeoutMs, Reasons* why) {
  if (link.Exchange(packet.bytes.data(), packet.length, reply, replyLength, timeoutMs) > 0) {
    return true;
  }
  AddLinkFailure(why, link.Failure(), timeoutMs);
  return false;
}

// The commands that the bootloader answers by sending the request back.
bool ExchangeEcho(DeviceLink& link, const RomPacket& packet, int32_t timeoutMs, Reasons* why) {
  std::array<uint8_t, kReportSize> reply{};
  if (!ExchangePacket(link, packet, reply.data(), packet.length, timeoutMs, why)) return false;
  if (std::equal(reply.begin(), reply.begin() + packet.length, packet.bytes.begin())) return true;
  const size_t length = static_cast<size_t>(packet.length);
  AddWrongReply(why, ExpectedReply::Echo, HexBytes(packet.bytes.data(), length), reply.data(), length);
  return false;
}

int32_t EraseTimeoutMs(uint32_t sectorCount) {
  const int64_t ms = static_cast<int64_t>(sectorCount) * kEraseMsPerSector;
  return static_cast<int32_t>(std::min<int64_t>(ms, std::numeric_limits<int32_t>::max()));
}

}  // namespace

RomPacket BuildProbe() { return StartPacket(RomCommand::Probe, kProbeLength); }

RomPacket BuildRestart() {
  RomPacket packet = StartPacket(RomCommand::Restart, kRestartLength);
  packet.bytes[2] = 0x01;
  return packet;
}

RomPacket BuildReadFlash(uint32_t address, uint16_t count) {
  RomPacket packet = StartPacket(RomCommand::ReadFlash, kReadFlashLength);
  PutLe32(packet, 2, address);
  PutLe16(packet, 6, count);
  return packet;
}

RomPacket BuildDownloadStart(uint32_t address, uint32_t length) {
  RomPacket packet = StartPacket(RomCommand::DownloadStart, kDownloadStartLength);
  PutLe32(packet, 2, address);
  PutLe32(packet, 6, length);
  return packet;
}

RomPacket BuildDownloadData(const uint8_t* data, int32_t count) {
  RomPacket packet = StartPacket(RomCommand::DownloadData, kDownloadDataLength);
  // The bootloader programs whole packets; 0xFF leaves erased flash as it is.
  std::fill(packet.bytes.begin() + 2, packet.bytes.end(), 0xFF);
  const int32_t carried = data == nullptr ? 0 : std::clamp(count, 0, kRomChunk);
  std::memcpy(packet.bytes.data() + 2, data, static_cast<size_t>(carried));
  return packet;
}

RomPacket BuildEraseSectors(uint32_t address, uint16_t sectorCount) {
  RomPacket packet = StartPacket(RomCommand::EraseSectors, kEraseLength);
  PutLe32(packet, 2, address);
  PutLe16(packet, 6, sectorCount);
  return packet;
}

uint32_t EraseSectorCount(uint32_t address, uint32_t length) {
  if (length == 0) return 0;
  const uint64_t first = address / kSectorSize;
  const uint64_t last = (static_cast<uint64_t>(address) + length - 1) / kSectorSize;
  return static_cast<uint32_t>(last - first + 1);
}

bool RomProbe(DeviceLink& link, Reasons* why) { return ExchangeEcho(link, BuildProbe(), kProbeTimeoutMs, why); }

bool RomErase(DeviceLink& link, uint32_t address, uint32_t length, Reasons* why) {
  // The bootloader erases from the sector that holds address on, so the count
  // covers every sector the span touches, not just length's worth.
  const uint32_t sectors = EraseSectorCount(address, length);
  const RomPacket packet = BuildEraseSectors(address, static_cast<uint16_t>(sectors));
  return ExchangeEcho(link, packet, EraseTimeoutMs(sectors), why);
}

bool RomDownloadStart(DeviceLink& link, uint32_t address, uint32_t length, Reasons* why) {
  return ExchangeEcho(link, BuildDownloadStart(address, length), kCommandTimeoutMs, why);
}

bool RomDownloadData(DeviceLink& link, const uint8_t* data, int32_t count, Reasons* why) {
  std::array<uint8_t, kDataAckLength> reply{};
  if (!ExchangePacket(link, BuildDownloadData(data, count), reply.data(), kDataAckLength,
                      kCommandTimeoutMs, why)) {
    return false;
  }
  // The two acknowledgements are taken alike, for the last packet as for any.
  if (reply[0] == kRomLead && (reply[1] == kDataAccepted || reply[1] == kDataAcceptedLast)) {
    return true;
  }
  AddWrongReply(why, ExpectedReply::DataAccepted, "", reply.data(), 2);
  return false;
}

bool RomRead(DeviceLink& link, uint32_t address, int32_t count, uint8_t* out, Reasons* why) {
  if (out == nullptr || count < 1 || count > kRomChunk) return false;
  std::array<uint8_t, kReportSize> reply{};
  const RomPacket packet = BuildReadFlash(address, static_cast<uint16_t>(count));
  if (!ExchangePacket(link, packet, reply.data(), kReadReplyHeader + count, kCommandTimeoutMs, why)) {
    return false;
  }
  if (reply[0] != kRomLead || reply[1] != static_cast<uint8_t>(RomCommand::ReadFlash)) {
    AddWrongReply(why, ExpectedReply::FlashData, HexBytes(packet.bytes.data(), kReadReplyHeader),
                  reply.data(), kReadReplyHeader);
    return false;
  }
  std::memcpy(out, reply.data() + kReadReplyHeader, static_cast<size_t>(count));
  return true;
}

void RomRestart(DeviceLink& link) {
  // The chip leaves its bootloader on this packet; nothing comes back to check.
  const RomPacket packet = BuildRestart();
  link.Write(packet.bytes.data(), packet.length);
}
