// The ROM bootloader's command packets, their replies and time-outs.
#pragma once

#include <array>
#include <cstdint>

#include "common/chip.h"
#include "common/reason.h"

class DeviceLink;

enum class RomCommand : uint8_t {
  Probe = 0x55,
  Restart = 0x57,
  ReadFlash = 0x60,
  DownloadStart = 0x61,
  DownloadData = 0x62,
  EraseSectors = 0x64,
};

constexpr uint8_t kRomLead = 0x1A;
constexpr int32_t kRomChunk = 62;  // data bytes per DownloadData / ReadFlash

struct RomPacket {
  std::array<uint8_t, 64> bytes{};
  int32_t length = 0;
};

RomPacket BuildProbe();
RomPacket BuildRestart();
RomPacket BuildReadFlash(uint32_t address, uint16_t count);
RomPacket BuildDownloadStart(uint32_t address, uint32_t length);
RomPacket BuildDownloadData(const uint8_t* data, int32_t count);
RomPacket BuildEraseSectors(uint32_t address, uint16_t sectorCount);

// Number of 4096-byte sectors that [address, address + length) touches.
uint32_t EraseSectorCount(uint32_t address, uint32_t length);

// Each goes over the link it is given. why, when given, receives what went
// wrong: no reply within the time-out, a wrong reply (expected and received
// bytes), or the device gone.
bool RomProbe(DeviceLink& link, Reasons* why = nullptr);
bool RomErase(DeviceLink& link, uint32_t address, uint32_t length, Reasons* why = nullptr);
bool RomDownloadStart(DeviceLink& link, uint32_t address, uint32_t length, Reasons* why = nullptr);
bool RomDownloadData(DeviceLink& link, const uint8_t* data, int32_t count, Reasons* why = nullptr);
bool RomRead(DeviceLink& link, uint32_t address, int32_t count, uint8_t* out, Reasons* why = nullptr);
void RomRestart(DeviceLink& link);
