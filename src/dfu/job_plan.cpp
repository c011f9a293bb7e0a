#include "dfu/job_plan.h"

#include "dfu/rom_packets.h"

JobPacketCounts CountJobPackets(const std::vector<EraseRegion>& regions,
                                const std::vector<ProgramImage>& images, uint8_t mode) {
  JobPacketCounts counts;
  counts.probe = 1;
  counts.erase = static_cast<uint32_t>(regions.size());
  for (const ProgramImage& image : images) {
    const uint32_t chunks = (image.length + kRomChunk - 1) / kRomChunk;
    ++counts.downloadStart;
    counts.downloadData += chunks;
    if (mode == 0) counts.read += chunks;
  }
  counts.restart = kRestartRepeats;
  return counts;
}
