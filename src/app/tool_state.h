// The console tool's own objects: the parsed options, the device search, the
// open link and the loaded programs, one of each for the process, as the
// engine's default instances. The tool fills them and hands them to the
// engine; a library caller or a station worker owns objects of its own.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "common/reason.h"
#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"

extern DfuSettings theDfuSettings;
extern DeviceSearch theDeviceSearch;
extern HidLink theHidLink;
extern ProgramImageList theProgramImageList;

// The option parser and the program loader on the tool's objects.
bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase = OptionNameCase::Exact,
                     Reasons* why = nullptr);
bool LoadJobPrograms(Reasons* why = nullptr);
int32_t LoadPrograms(Reasons* why = nullptr);
bool AddProgramEntry(uint32_t addr, std::string pg_path, Reasons* why = nullptr);
void ClearProgramImageList();

// While it lives, Ctrl+C and SIGTERM stop the tool's job at its next packet
// (flag() is its stop flag) instead of ending the process; a second one
// ends the process at once. Outside a job they do what they always did.
class StopOnCtrlC {
 public:
  StopOnCtrlC();
  ~StopOnCtrlC();
  StopOnCtrlC(const StopOnCtrlC&) = delete;
  StopOnCtrlC& operator=(const StopOnCtrlC&) = delete;
  const std::atomic<bool>* flag() const { return &stop_; }

 private:
  std::atomic<bool> stop_{false};
};

// A job on the tool's link and search, on the process clock, telling the
// console, showing progress as --progress says: what every command the tool
// runs works through. cancel, when given, stops it.
DfuJob ToolJob(const std::atomic<bool>* cancel = nullptr);
// The DFU job with the tool's parsed settings and loaded programs.
bool RunDfuJob(Reasons* why = nullptr);
