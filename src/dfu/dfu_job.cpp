#include "dfu/dfu_job.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "dfu/connect.h"
#include "dfu/failure_reasons.h"
#include "dfu/rom_packets.h"

namespace {

int32_t ChunkSize(uint32_t length, uint32_t offset) {
  return static_cast<int32_t>(std::min<uint32_t>(length - offset, kRomChunk));
}

// A step's count before anything of it was done: no area yet.
JobProgress StepStart(JobStep step, uint64_t total = 0, int32_t jobDone = 0, int32_t jobTotal = 0) {
  JobProgress count;
  count.step = step;
  count.stepTotal = total;
  count.jobDone = jobDone;
  count.jobTotal = jobTotal;
  return count;
}

int32_t TotalProgramBytes(const ProgramImageList& programs) {
  int32_t total = 0;
  for (const ProgramImage& image : programs.images) total += static_cast<int32_t>(image.length);
  return total;
}

// The files of the programs that start inside a region, as typed.
std::string ProgramsIn(const EraseRegion& region, const ProgramImageList& programs) {
  std::string files;
  for (const ProgramImage& image : programs.images) {
    const uint32_t start = image.EffectiveStart();
    if (start < region.start || start - region.start >= region.length) continue;
    if (!files.empty()) files += ", ";
    files += image.path;
  }
  return files;
}

// The first of count bytes at address that was read back other than written,
// and how many differ.
void AddMismatch(Reasons* why, uint32_t address, const uint8_t* written, const uint8_t* read,
                 int32_t count) {
  int32_t first = -1;
  int32_t differing = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (written[i] == read[i]) continue;
    if (first < 0) first = i;
    ++differing;
  }
  if (first < 0) return;
  AddError(why,
           "first difference at {0}: written {1}, read {2}; {3} of the {4} bytes read there differ",
           "首个不同之处在 {0}：写入 {1}，读回 {2}；该次读取的 {4} 个字节中有 {3} 个不同",
           {AddressText(address + static_cast<uint32_t>(first)), ByteText(written[first]),
            ByteText(read[first]), std::to_string(differing), std::to_string(count)});
  TagLastReason(why, ReasonKind::FlashDiffers);
}

}  // namespace

bool DfuJob::Run(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why) {
  context_.observer.JobStarted(JobKind::Flash);
  if (!Connect(settings, why)) return Finish(JobKind::Flash, false);
  return Flash(settings, programs, why);
}

bool DfuJob::RunConnected(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why) {
  context_.observer.JobStarted(JobKind::Flash);
  return Flash(settings, programs, why);
}

bool DfuJob::Flash(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why) {
  const JobPlan plan = PlanJob(programs.images, settings.mode);
  // The read-back pass counts the same bytes again.
  const int32_t total = TotalProgramBytes(programs) * (plan.readBack ? 2 : 1);
  const bool ok = EraseStep(plan.regions, programs, why) && DownloadStep(programs, total, why) &&
                  (!plan.readBack || VerifyStep(programs, true, why)) && Restart(why);
  return Finish(JobKind::Flash, ok);
}

bool DfuJob::VerifyOnly(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why) {
  context_.observer.JobStarted(JobKind::VerifyOnly);
  const bool ok = Connect(settings, why) && VerifyStep(programs, false, why);
  return Finish(JobKind::VerifyOnly, ok);
}

bool DfuJob::Read(const DfuSettings& settings, uint32_t start, uint32_t length, std::vector<uint8_t>& bytes,
                  Reasons* why) {
  context_.observer.JobStarted(JobKind::Read);
  if (!Connect(settings, why)) return Finish(JobKind::Read, false);
  bytes.assign(length, 0);
  JobProgress count = StepStart(JobStep::Read, length, 0, static_cast<int32_t>(length));
  StartStep(count);
  context_.observer.AreaStarted(JobStep::Read, start, length);
  uint8_t* into = bytes.data();
  const auto keep = [into](uint32_t offset, const uint8_t* read, int32_t chunk, Reasons*) {
    std::memcpy(into + offset, read, static_cast<size_t>(chunk));
    return true;
  };
  if (!ReadPass(start, length, count, keep, why)) return Finish(JobKind::Read, FailStep(JobStep::Read));
  context_.observer.AreaFinished(JobStep::Read, true);
  context_.observer.StepFinished(JobStep::Read, true);
  return Finish(JobKind::Read, true);
}

bool DfuJob::Finish(JobKind kind, bool ok) {
  context_.observer.JobFinished(kind, ok);
  return ok;
}

bool DfuJob::Connect(const DfuSettings& settings, Reasons* why) {
  CopyDeviceSettingsToSearch(settings, context_.search);
  StartStep(StepStart(JobStep::Connect));
  if (ConnectDevice(context_, settings.wait != 0, why, settings.timeout_ms) <= 0) {
    context_.observer.NotConnected();
    return false;
  }
  return true;
}

bool DfuJob::EraseStep(const std::vector<EraseRegion>& regions, const ProgramImageList& programs, Reasons* why) {
  JobProgress count = StepStart(JobStep::Erase);
  for (const EraseRegion& region : regions) count.stepTotal += region.length;
  StartStep(count);
  for (const EraseRegion& region : regions) {
    if (!EraseOneRegion(region, programs, count, why)) return FailStep(JobStep::Erase);
  }
  context_.observer.StepFinished(JobStep::Erase, true);
  return true;
}

bool DfuJob::EraseOneRegion(const EraseRegion& region, const ProgramImageList& programs, JobProgress& count,
                            Reasons* why) {
  context_.observer.AreaStarted(JobStep::Erase, region.start, region.length);
  const std::vector<std::string> context = {RangeText(region.start, region.length), ProgramsIn(region, programs)};
  if (context_.Cancelled()) {
    return AddStopped(why, "stopped before erasing {0} ({1})", "在擦除 {0}（{1}）之前中止", context);
  }
  Reasons happened;
  const bool erased = RomErase(context_.link, region.start, region.length, &happened);
  AddInContext(why, happened, "erasing {0} ({1}) failed: ", "擦除 {0}（{1}）失败：", context);
  if (!erased) return false;
  // Erase moves on once a region is erased: the erase takes the time.
  count.areaStart = region.start;
  count.areaLength = region.length;
  count.areaDone = region.length;
  count.stepDone += region.length;
  context_.observer.Progress(count);
  context_.observer.AreaFinished(JobStep::Erase, true);
  return true;
}

bool DfuJob::DownloadStep(const ProgramImageList& programs, int32_t jobTotal, Reasons* why) {
  JobProgress count = StepStart(JobStep::Download, static_cast<uint64_t>(TotalProgramBytes(programs)), 0, jobTotal);
  StartStep(count);
  for (const ProgramImage& image : programs.images) {
    if (!DownloadProgram(image, count, why)) return FailStep(JobStep::Download);
  }
  context_.observer.StepFinished(JobStep::Download, true);
  return true;
}

bool DfuJob::DownloadProgram(const ProgramImage& image, JobProgress& count, Reasons* why) {
  const uint32_t start = image.EffectiveStart();
  const uint32_t length = image.length;
  const std::string range = RangeText(start, length);
  context_.observer.AreaStarted(JobStep::Download, start, length);
  const auto stoppedAt = [&](uint32_t address) {
    return AddStopped(why, "download of {0} ({1}) stopped at {2}", "下载 {0}（{1}）在 {2} 处中止",
                      {image.path, range, AddressText(address)});
  };
  if (context_.Cancelled()) return stoppedAt(start);
  Reasons happened;
  if (!RomDownloadStart(context_.link, start, length, &happened)) {
    AddInContext(why, happened, "starting the download of {0} ({1}) failed: ",
                 "开始下载 {0}（{1}）失败：", {image.path, range});
    return false;
  }
  for (uint32_t offset = 0; offset < length;) {
    const int32_t chunk = ChunkSize(length, offset);
    const uint32_t address = start + offset;
    offset += static_cast<uint32_t>(chunk);
    // Progress moves before the packet goes out, so a failing packet is
    // counted in the final figure.
    Advance(count, start, length, offset, chunk);
    if (context_.Cancelled()) return stoppedAt(address);
    if (!RomDownloadData(context_.link, image.bytes.get() + offset - chunk, chunk, &happened)) {
      AddInContext(why, happened, "download of {0} ({1}) failed at {2}: ", "下载 {0}（{1}）在 {2} 处失败：",
                   {image.path, range, AddressText(address)});
      return false;
    }
  }
  context_.observer.AreaFinished(JobStep::Download, true);
  return true;
}

bool DfuJob::VerifyStep(const ProgramImageList& programs, bool afterDownload, Reasons* why) {
  const int32_t bytes = TotalProgramBytes(programs);
  const int32_t downloaded = afterDownload ? bytes : 0;
  JobProgress count = StepStart(JobStep::Verify, static_cast<uint64_t>(bytes), downloaded, downloaded + bytes);
  StartStep(count);
  for (const ProgramImage& image : programs.images) {
    if (!VerifyProgram(image, count, why)) return FailStep(JobStep::Verify);
  }
  context_.observer.StepFinished(JobStep::Verify, true);
  return true;
}

bool DfuJob::VerifyProgram(const ProgramImage& image, JobProgress& count, Reasons* why) {
  const uint32_t start = image.EffectiveStart();
  context_.observer.AreaStarted(JobStep::Verify, start, image.length);
  const uint8_t* expected = image.bytes.get();
  const auto compare = [expected, start](uint32_t offset, const uint8_t* read, int32_t chunk, Reasons* mismatch) {
    if (std::memcmp(read, expected + offset, static_cast<size_t>(chunk)) == 0) return true;
    AddMismatch(mismatch, start + offset, expected + offset, read, chunk);
    return false;
  };
  Reasons happened;
  if (!ReadPass(start, image.length, count, compare, &happened)) {
    AddInContext(why, happened, "verify of {0} ({1}) failed: ", "校验 {0}（{1}）失败：",
                 {image.path, RangeText(start, image.length)});
    return false;
  }
  context_.observer.AreaFinished(JobStep::Verify, true);
  return true;
}

// Reads [start, start + length) chunk by chunk, moving the progress before
// each request so that a failing chunk is counted in the final figure.
bool DfuJob::ReadPass(uint32_t start, uint32_t length, JobProgress& count, const ChunkCheck& check, Reasons* why) {
  uint8_t readBack[kRomChunk];
  for (uint32_t offset = 0; offset < length;) {
    const int32_t chunk = ChunkSize(length, offset);
    const uint32_t address = start + offset;
    Advance(count, start, length, offset + static_cast<uint32_t>(chunk), chunk);
    if (context_.Cancelled()) return AddStopped(why, "stopped at {0}", "在 {0} 处中止", {AddressText(address)});
    Reasons happened;
    const bool read = RomRead(context_.link, address, chunk, readBack, &happened);
    if (!read) {
      AddInContext(why, happened, "reading {0} bytes at {1} failed: ", "在 {1} 读取 {0} 个字节失败：",
                   {std::to_string(chunk), AddressText(address)});
    }
    if (!read || !check(offset, readBack, chunk, why)) return false;
    offset += static_cast<uint32_t>(chunk);
  }
  return true;
}

bool DfuJob::Restart(Reasons* why) {
  if (context_.Cancelled()) return AddStopped(why, "stopped before the restart", "在重启之前中止");
  StartStep(StepStart(JobStep::Restart));
  // Sent without reading: the chip leaves its bootloader on the first one
  // it takes and answers nothing.
  for (uint32_t repeat = 0; repeat < kRestartRepeats; ++repeat) RomRestart(context_.link);
  context_.observer.StepFinished(JobStep::Restart, true);
  return true;
}

void DfuJob::Advance(JobProgress& count, uint32_t start, uint32_t length, uint32_t areaDone, int32_t chunk) {
  count.areaStart = start;
  count.areaLength = length;
  count.areaDone = areaDone;
  count.stepDone += static_cast<uint64_t>(chunk);
  count.jobDone += chunk;
  context_.observer.Progress(count);
}

void DfuJob::StartStep(const JobProgress& count) { context_.observer.StepStarted(count); }

bool DfuJob::FailStep(JobStep step) {
  context_.observer.AreaFinished(step, false);
  context_.observer.StepFinished(step, false);
  return false;
}
