// The plan of a job: what it erases and how many packets of each kind it
// sends. The job follows it, and a dry run shows it without a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/program_image.h"

// The restart packet goes out this often: the chip leaves its bootloader on
// the first one it takes.
constexpr uint32_t kRestartRepeats = 3;

struct EraseRegion {
  uint32_t start = 0;
  uint32_t length = 0;
};

struct JobPacketCounts {
  uint32_t probe = 0;
  uint32_t erase = 0;
  uint32_t downloadStart = 0;
  uint32_t downloadData = 0;
  uint32_t read = 0;
  uint32_t restart = 0;
  uint32_t Total() const { return probe + erase + downloadStart + downloadData + read + restart; }
};

struct JobPlan {
  // In address order; neighbouring programs share a region.
  std::vector<EraseRegion> regions;
  // The packets of a job whose first device answers its probe and every
  // packet after it.
  JobPacketCounts packets;
  bool readBack = true;       // mode 0: every program is read back and compared
};

// The erase regions of programs in ascending address order: a program joins
// the open region when its first sector is the one that holds the previous
// program's last byte or the one right after it.
std::vector<EraseRegion> PlanEraseRegions(const std::vector<ProgramImage>& images);

// The plan of a job over programs in ascending address order, in mode 0
// (download and read back) or 1 (download only).
JobPlan PlanJob(const std::vector<ProgramImage>& images, uint8_t mode);

// One program as a plan or a record names it: its file, flash range and
// CRC-32 over the bytes the flash receives (0xFF filler included).
struct ProgramSummary {
  std::string path;
  uint32_t start = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

std::vector<ProgramSummary> SummarizePrograms(const std::vector<ProgramImage>& images);
