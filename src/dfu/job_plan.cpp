#include "dfu/job_plan.h"

#include "common/chip.h"
#include "common/crc32.h"
#include "dfu/rom_packets.h"

std::vector<EraseRegion> PlanEraseRegions(const std::vector<ProgramImage>& images) {
  std::vector<EraseRegion> regions;
  uint32_t previousEnd = 0;
  for (const ProgramImage& image : images) {
    const uint32_t start = image.EffectiveStart();
    // A whole sector that no program touches is never erased.
    const uint32_t lastUsedSector = (previousEnd - 1) / kSectorSize;
    if (regions.empty() || start / kSectorSize > lastUsedSector + 1) {
      regions.push_back({start, image.length});
    } else {
      regions.back().length = start - regions.back().start + image.length;
    }
    previousEnd = start + image.length;
  }
  return regions;
}

JobPlan PlanJob(const std::vector<ProgramImage>& images, uint8_t mode) {
  JobPlan plan;
  plan.regions = PlanEraseRegions(images);
  plan.readBack = mode == 0;
  JobPacketCounts& counts = plan.packets;
  counts.probe = 1;
  counts.erase = static_cast<uint32_t>(plan.regions.size());
  for (const ProgramImage& image : images) {
    const uint32_t chunks = (image.length + kRomChunk - 1) / kRomChunk;
    ++counts.downloadStart;
    counts.downloadData += chunks;
    if (plan.readBack) counts.read += chunks;
  }
  counts.restart = kRestartRepeats;
  return plan;
}

std::vector<ProgramSummary> SummarizePrograms(const std::vector<ProgramImage>& images) {
  std::vector<ProgramSummary> summaries;
  for (const ProgramImage& image : images) {
    summaries.push_back({image.path, image.EffectiveStart(), image.length, Crc32(image.bytes.get(), image.length)});
  }
  return summaries;
}
