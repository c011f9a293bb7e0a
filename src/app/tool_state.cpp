#include "app/tool_state.h"

#include <iostream>

#include "app/console_observer.h"
#include "console/reasons.h"
#include "platform/terminal.h"

namespace {

// The rich view is drawn in place only on a terminal, and never into a
// stream a test put in standard error's place.
bool ErrorsGoToTerminal() { return &ConsoleErr() == &std::cerr && platform::StandardErrorIsTerminal(); }

}  // namespace

// Created in this order, and destroyed in the reverse: the link closes a
// device still open before the rest goes.
DfuSettings theDfuSettings;
DeviceSearch theDeviceSearch;
HidLink theHidLink;
ProgramImageList theProgramImageList;

bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase, Reasons* why) {
  return ParseDfuOptions(words, nameCase, why, theDfuSettings, theProgramImageList);
}

bool LoadJobPrograms(Reasons* why) { return LoadJobPrograms(theDfuSettings, theProgramImageList, why); }

int32_t LoadPrograms(Reasons* why) { return LoadPrograms(theDfuSettings, theProgramImageList, why); }

bool AddProgramEntry(uint32_t addr, std::string pg_path, Reasons* why) {
  return AddProgramEntry(theDfuSettings, addr, std::move(pg_path), why);
}

void ClearProgramImageList() { ClearProgramImageList(theProgramImageList); }

StopOnCtrlC::StopOnCtrlC() { platform::CatchStopSignals(stop_); }

StopOnCtrlC::~StopOnCtrlC() { platform::ReleaseStopSignals(); }

DfuJob ToolJob(const std::atomic<bool>* cancel) {
  ConsoleJobObserver& observer = TheConsoleObserver();
  observer.SetProgressStyle(theDfuSettings.progress, &ConsoleErr(), ErrorsGoToTerminal());
  return DfuJob(JobContext{theHidLink, theDeviceSearch, ProcessTicks(), observer, cancel});
}

bool RunDfuJob(Reasons* why) { return ToolJob().Run(theDfuSettings, theProgramImageList, why); }
