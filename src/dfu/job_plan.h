// What a job sends, counted without a device: the plan a dry run shows.
#pragma once

#include <cstdint>
#include <vector>

#include "dfu/dfu_job.h"
#include "image/program_image.h"

// The restart packet goes out this often: the chip leaves its bootloader on
// the first one it takes.
constexpr uint32_t kRestartRepeats = 3;

struct JobPacketCounts {
  uint32_t probe = 0;
  uint32_t erase = 0;
  uint32_t downloadStart = 0;
  uint32_t downloadData = 0;
  uint32_t read = 0;
  uint32_t restart = 0;
  uint32_t Total() const { return probe + erase + downloadStart + downloadData + read + restart; }
};

// The packets of a job whose first device answers its probe and every
// packet after it: one erase per region, per program one DownloadStart and
// one DownloadData per 62 bytes, as many ReadFlash in mode 0, and the
// restarts.
JobPacketCounts CountJobPackets(const std::vector<EraseRegion>& regions,
                                const std::vector<ProgramImage>& images, uint8_t mode);
