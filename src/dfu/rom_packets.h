// The ROM bootloader's command packets, their replies and time-outs.
#pragma once

#include <array>
#include <cstdint>

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
constexpr uint32_t kSectorSize = 4096;

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

bool RomProbe();
bool RomErase(uint32_t address, uint32_t length);
bool RomDownloadStart(uint32_t address, uint32_t length);
bool RomDownloadData(const uint8_t* data, int32_t count);
bool RomRead(uint32_t address, int32_t count, uint8_t* out);
void RomRestart();
