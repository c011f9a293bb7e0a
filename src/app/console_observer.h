// The console tool's view of a job: the step titles, address-range messages,
// result lines and progress lines with LogMode on, the one overall progress
// line with it off, in the language UiLanguage picks, timed by JobClock and
// StepClock.
#pragma once

#include "dfu/job_observer.h"

class ConsoleJobObserver : public JobObserver {
 public:
  void JobStarted(JobKind kind) override;
  void StepStarted(const JobProgress& start) override;
  void Said(const Reasons& reasons) override;
  void Connected(bool waited, const DeviceEntry& device) override;
  void NotConnected() override;
  void AreaStarted(JobStep step, uint32_t start, uint32_t length) override;
  void Progress(const JobProgress& progress) override;
  void AreaFinished(JobStep step, bool ok) override;
  void StepFinished(JobStep step, bool ok) override;
  void JobFinished(JobKind kind, bool ok) override;

 private:
  // The area in progress, as last shown: a failure ends its line there.
  JobProgress last_;
  bool progressShown_ = false;
};

// The one the tool's jobs tell.
ConsoleJobObserver& TheConsoleObserver();

void PrintConnectMessage(bool wait, const std::string& description);
void PrintNoDeviceFound();
void PrintEraseArea(uint32_t start, uint32_t length);
void PrintDownloadArea(uint32_t start, uint32_t length);
void PrintVerifyArea(uint32_t start, uint32_t length);
