#include "dfu/dfu_job.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/output.h"
#include "dfu/connect.h"
#include "device/device_search.h"
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

bool EraseOneRegion(const EraseRegion& region) {
  PrintEraseArea(region.start, region.length);
  const bool erased = RomErase(region.start, region.length);
  PrintStepResult(erased);
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

bool DownloadProgram(const ProgramImage& image, int32_t total, int32_t& done) {
  const uint32_t start = image.EffectiveStart();
  const uint32_t length = image.length;
  PrintDownloadArea(start, length);
  if (!RomDownloadStart(start, length)) {
    PrintStepResult(false);
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
    if (!RomDownloadData(image.bytes.get() + offset - count, count)) {
      ShowPassProgress(ShowDownloadProgress, shownLength, shownDone, total, done, true);
      PrintStepResult(false);
      return false;
    }
  }
  if (LogMode) ShowDownloadProgress(shownLength, shownLength, true);
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

bool RunDfuJob(Reasons* /*why*/) {
  PrintHeading("Enter DFU", "进入 DFU");
  theDeviceSearch.vendor_id = theDfuSettings.vendor_id;
  theDeviceSearch.product_id = theDfuSettings.product_id;
  theDeviceSearch.interface_number = theDfuSettings.interface_number;
  PrintHeading("Querying USB device connections", "查询 USB 设备连接");
  if (ConnectDevice(theDfuSettings.wait != 0) <= 0) {
    PrintNoDeviceFound();
    return false;
  }
  StartJobClock();
  if (!EraseStep() || !DownloadStep()) return false;
  if (theDfuSettings.mode == 0 && !VerifyStep()) return false;
  PrintHeading("Restart the device", "重启设备", true);
  // Sent three times without reading: the chip leaves its bootloader on the
  // first one it takes and answers nothing.
  for (int repeat = 0; repeat < 3; ++repeat) RomRestart();
  PrintStepResult(true);
  if (!LogMode) ShowOverallProgress(100, 100, true);
  return true;
}

bool EraseStep() {
  PrintHeading("Erase Device Flash", "擦除设备 Flash");
  for (const EraseRegion& region : PlanEraseRegions()) {
    if (!EraseOneRegion(region)) return false;
  }
  return true;
}

bool DownloadStep() {
  PrintHeading("Download program", "下载程序");
  // The read-back pass counts the same bytes again.
  const int32_t total = TotalProgramBytes() * (theDfuSettings.mode == 0 ? 2 : 1);
  int32_t done = 0;
  if (!LogMode) ShowOverallProgress(total, done, false);
  for (const ProgramImage& image : theProgramImageList.images) {
    if (!DownloadProgram(image, total, done)) return false;
  }
  PrintStepResult(true);
  return true;
}

bool VerifyStep() {
  PrintHeading("Verify", "校验");
  const int32_t downloaded = TotalProgramBytes();
  const int32_t total = 2 * downloaded;
  int32_t done = downloaded;
  if (!LogMode) ShowOverallProgress(total, done, false);
  for (const ProgramImage& image : theProgramImageList.images) {
    const uint32_t start = image.EffectiveStart();
    PrintVerifyArea(start, image.length);
    if (!VerifyProgram(image.bytes.get(), start, image.length, total, done)) {
      PrintStepResult(false);
      return false;
    }
  }
  PrintStepResult(true);
  return true;
}

bool VerifyProgram(const uint8_t* expected, uint32_t start, uint32_t length, int32_t total,
                   int32_t& done) {
  if (LogMode) ResetStepProgress();
  const int32_t shownLength = static_cast<int32_t>(length);
  uint8_t readBack[kRomChunk];
  uint32_t offset = 0;
  while (offset < length) {
    const int32_t count = ChunkSize(length, offset);
    const int32_t shownDone = static_cast<int32_t>(offset) + count;
    done += count;
    ShowPassProgress(ShowVerifyProgress, shownLength, shownDone, total, done, false);
    const bool same = RomRead(start + offset, count, readBack) &&
                      std::memcmp(readBack, expected + offset, static_cast<size_t>(count)) == 0;
    if (!same) {
      ShowPassProgress(ShowVerifyProgress, shownLength, shownDone, total, done, true);
      return false;
    }
    offset += static_cast<uint32_t>(count);
  }
  if (LogMode) ShowVerifyProgress(shownLength, shownLength, true);
  return true;
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
