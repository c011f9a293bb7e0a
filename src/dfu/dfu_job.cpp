#include "dfu/dfu_job.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/output.h"
#include "dfu/connect.h"
#include "device/device_search.h"
#include "dfu/failure_reasons.h"
#include "dfu/rom_packets.h"
#include "options/dfu_options.h"

namespace {

void PrintHeading(std::string_view english, std::string_view chinese,
                  bool restartStepClock = false) {
  if (LogMode) PrintStatusLine(false, restartStepClock, true, Localized(english, chinese));
}

// ">> <text> (<start> - <length> )", then the step is timed from here.
void PrintAreaMessage(std::string_view english, std::string_view chinese, uint32_t start,
                      uint32_t length, bool endLine) {
  if (LogMode) {
    std::string line = std::string(kMessagePrefix) + Localized(english, chinese) + " (" +
                       FormatHexAddress(start) + " - " + FormatHexAddress(length) + " )";
    if (endLine) line += '\n';
    // Flushed also without a line end: the erase message must show while the
    // erase runs, which can take seconds.
    ConsoleOut() << line << std::flush;
  }
  RestartStepClock();
}

int32_t ChunkSize(uint32_t length, uint32_t offset) {
  return static_cast<int32_t>(std::min<uint32_t>(length - offset, kRomChunk));
}

int32_t TotalProgramBytes() {
  int32_t total = 0;
  for (const ProgramImage& image : theProgramImageList.images) {
    total += static_cast<int32_t>(image.length);
  }
  return total;
}

// The files of the programs that start inside a region, as typed.
std::string ProgramsIn(const EraseRegion& region) {
  std::string files;
  for (const ProgramImage& image : theProgramImageList.images) {
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
}

bool EraseOneRegion(const EraseRegion& region, Reasons* why) {
  PrintEraseArea(region.start, region.length);
  Reasons happened;
  const bool erased = RomErase(region.start, region.length, &happened);
  PrintStepResult(erased);
  AddInContext(why, happened, "erasing {0} ({1}) failed: ", "擦除 {0}（{1}）失败：",
               {RangeText(region.start, region.length), ProgramsIn(region)});
  return erased;
}

using StepDisplay = void (*)(int32_t total, int32_t done, bool final);

// How far one program's download or read-back has come: on the program's own
// line with LogMode on, on the job's overall line with it off.
void ShowPassProgress(StepDisplay display, int32_t length, int32_t programDone, int32_t total,
                      int32_t overallDone, bool final) {
  if (LogMode) {
    display(length, programDone, final);
  } else {
    ShowOverallProgress(total, overallDone, final);
  }
}

bool DownloadProgram(const ProgramImage& image, int32_t total, int32_t& done, Reasons* why) {
  const uint32_t start = image.EffectiveStart();
  const uint32_t length = image.length;
  const std::string range = RangeText(start, length);
  Reasons happened;
  PrintDownloadArea(start, length);
  if (!RomDownloadStart(start, length, &happened)) {
    PrintStepResult(false);
    AddInContext(why, happened, "starting the download of {0} ({1}) failed: ",
                 "开始下载 {0}（{1}）失败：", {image.path, range});
    return false;
  }
  if (LogMode) ResetStepProgress();
  const int32_t shownLength = static_cast<int32_t>(length);
  uint32_t offset = 0;
  while (offset < length) {
    const int32_t count = ChunkSize(length, offset);
    offset += static_cast<uint32_t>(count);
    done += count;
    // Progress moves before the packet goes out, so a failing packet is
    // counted in the final figure.
    const int32_t shownDone = static_cast<int32_t>(offset);
    ShowPassProgress(ShowDownloadProgress, shownLength, shownDone, total, done, false);
    if (!RomDownloadData(image.bytes.get() + offset - count, count, &happened)) {
      ShowPassProgress(ShowDownloadProgress, shownLength, shownDone, total, done, true);
      PrintStepResult(false);
      AddInContext(why, happened, "download of {0} ({1}) failed at {2}: ",
                   "下载 {0}（{1}）在 {2} 处失败：",
                   {image.path, range, AddressText(start + offset - static_cast<uint32_t>(count))});
      return false;
    }
  }
  if (LogMode) ShowDownloadProgress(shownLength, shownLength, true);
  return true;
}

// What a read-back pass does with each chunk read: true to go on; false,
// with the reason, to end the pass.
using ChunkCheck = std::function<bool(uint32_t offset, const uint8_t* read, int32_t count, Reasons* why)>;

// Reads [start, start + length) chunk by chunk, moving the progress before
// each request so that a failing chunk is counted in the final figure.
bool ReadPass(uint32_t start, uint32_t length, int32_t total, int32_t& done, const ChunkCheck& check,
              Reasons* why) {
  if (LogMode) ResetStepProgress();
  const int32_t shownLength = static_cast<int32_t>(length);
  uint8_t readBack[kRomChunk];
  uint32_t offset = 0;
  while (offset < length) {
    const int32_t count = ChunkSize(length, offset);
    const int32_t shownDone = static_cast<int32_t>(offset) + count;
    done += count;
    ShowPassProgress(ShowVerifyProgress, shownLength, shownDone, total, done, false);
    const uint32_t address = start + offset;
    Reasons happened;
    const bool read = RomRead(address, count, readBack, &happened);
    if (!read) {
      AddInContext(why, happened, "reading {0} bytes at {1} failed: ", "在 {1} 读取 {0} 个字节失败：",
                   {std::to_string(count), AddressText(address)});
    }
    if (!read || !check(offset, readBack, count, why)) {
      ShowPassProgress(ShowVerifyProgress, shownLength, shownDone, total, done, true);
      return false;
    }
    offset += static_cast<uint32_t>(count);
  }
  if (LogMode) ShowVerifyProgress(shownLength, shownLength, true);
  return true;
}

}  // namespace

std::vector<EraseRegion> PlanEraseRegions() {
  std::vector<EraseRegion> regions;
  uint32_t previousEnd = 0;
  for (const ProgramImage& image : theProgramImageList.images) {
    const uint32_t start = image.EffectiveStart();
    // A program joins the open region when its first sector is the one that
    // holds the previous program's last byte or the one right after it; a
    // whole sector that no program touches is never erased.
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

bool RunDfuJob(Reasons* why) {
  PrintHeading("Enter DFU", "进入 DFU");
  if (!ConnectAsSet(why)) return false;
  StartJobClock();
  if (!EraseStep(why) || !DownloadStep(why)) return false;
  if (theDfuSettings.mode == 0 && !VerifyStep(why)) return false;
  PrintHeading("Restart the device", "重启设备", true);
  // Sent three times without reading: the chip leaves its bootloader on the
  // first one it takes and answers nothing.
  for (int repeat = 0; repeat < 3; ++repeat) RomRestart();
  PrintStepResult(true);
  if (!LogMode) ShowOverallProgress(100, 100, true);
  return true;
}

void CopyDeviceSettingsToSearch() {
  theDeviceSearch.vendor_id = theDfuSettings.vendor_id;
  theDeviceSearch.product_id = theDfuSettings.product_id;
  theDeviceSearch.interface_number = theDfuSettings.interface_number;
  theDeviceSearch.selector = theDfuSettings.device;
}

bool ConnectAsSet(Reasons* why) {
  CopyDeviceSettingsToSearch();
  PrintHeading("Querying USB device connections", "查询 USB 设备连接");
  if (ConnectDevice(theDfuSettings.wait != 0, why, theDfuSettings.timeout_ms) <= 0) {
    PrintNoDeviceFound();
    return false;
  }
  return true;
}

bool EraseStep(Reasons* why) {
  PrintHeading("Erase Device Flash", "擦除设备 Flash");
  for (const EraseRegion& region : PlanEraseRegions()) {
    if (!EraseOneRegion(region, why)) return false;
  }
  return true;
}

bool DownloadStep(Reasons* why) {
  PrintHeading("Download program", "下载程序");
  // The read-back pass counts the same bytes again.
  const int32_t total = TotalProgramBytes() * (theDfuSettings.mode == 0 ? 2 : 1);
  int32_t done = 0;
  if (!LogMode) ShowOverallProgress(total, done, false);
  for (const ProgramImage& image : theProgramImageList.images) {
    if (!DownloadProgram(image, total, done, why)) return false;
  }
  PrintStepResult(true);
  return true;
}

bool VerifyStep(Reasons* why, bool afterDownload) {
  PrintHeading("Verify", "校验");
  const int32_t downloaded = afterDownload ? TotalProgramBytes() : 0;
  const int32_t total = downloaded + TotalProgramBytes();
  int32_t done = downloaded;
  if (!LogMode) ShowOverallProgress(total, done, false);
  for (const ProgramImage& image : theProgramImageList.images) {
    const uint32_t start = image.EffectiveStart();
    PrintVerifyArea(start, image.length);
    Reasons happened;
    if (!VerifyProgram(image.bytes.get(), start, image.length, total, done, &happened)) {
      PrintStepResult(false);
      AddInContext(why, happened, "verify of {0} ({1}) failed: ", "校验 {0}（{1}）失败：",
                   {image.path, RangeText(start, image.length)});
      return false;
    }
  }
  PrintStepResult(true);
  return true;
}

bool VerifyProgram(const uint8_t* expected, uint32_t start, uint32_t length, int32_t total,
                   int32_t& done, Reasons* why) {
  const auto compare = [expected, start](uint32_t offset, const uint8_t* read, int32_t count, Reasons* mismatch) {
    if (std::memcmp(read, expected + offset, static_cast<size_t>(count)) == 0) return true;
    AddMismatch(mismatch, start + offset, expected + offset, read, count);
    return false;
  };
  return ReadPass(start, length, total, done, compare, why);
}

bool ReadFlashInto(uint8_t* into, uint32_t start, uint32_t length, int32_t total, int32_t& done,
                   Reasons* why) {
  const auto keep = [into](uint32_t offset, const uint8_t* read, int32_t count, Reasons*) {
    std::memcpy(into + offset, read, static_cast<size_t>(count));
    return true;
  };
  return ReadPass(start, length, total, done, keep, why);
}

void PrintNoDeviceFound() {
  if (!LogMode) return;
  ConsoleOut() << ">>" << Localized(": No connected device found!", "：未查询到可连接设备！")
               << '\n'
               << std::flush;
}

void PrintEraseArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Erase the Flash area", "：擦除 Flash 区域", start, length, false);
}

void PrintDownloadArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Download", "：下载", start, length, true);
}

void PrintVerifyArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Read Verify", "：读取校验", start, length, true);
}
