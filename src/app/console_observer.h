// The console tool's view of a job: the step titles, address-range messages,
// result lines and progress lines with LogMode on, the one overall progress
// line with it off, in the language UiLanguage picks, timed by JobClock and
// StepClock.
//
// --progress chooses how progress shows: those percentage lines (percent),
// a view on standard error (rich, RichProgressView) or nothing (none); the
// other lines stay as they are.
#pragma once

#include <memory>
#include <ostream>

#include "app/rich_progress.h"
#include "dfu/job_observer.h"
#include "options/dfu_options.h"

// What the observer saw of the last job, for the notes written after it.
struct JobRecord {
  JobKind kind = JobKind::Flash;
  // The last step begun.
  JobStep lastStep = JobStep::Connect;
  // The bytes written (a flash), compared (--verify-only) or read (--read).
  uint64_t bytes = 0;
  // A flash that read its programs back and compared them.
  bool readBack = false;
};

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

  // For the jobs from now on; the rich view writes to richOut, in place
  // when it is a terminal.
  void SetProgressStyle(ProgressStyle style, std::ostream* richOut = nullptr, bool terminal = false);
  const JobRecord& LastJob() const { return record_; }

 private:
  bool ShowsPercent() const { return style_ == ProgressStyle::Percent; }
  // With LogMode on, a line of standard output follows: the rich view's
  // line goes first.
  void MakeRoomForLine();

  ProgressStyle style_ = ProgressStyle::Percent;
  std::ostream* richOut_ = nullptr;
  bool richOnTerminal_ = false;
  std::unique_ptr<RichProgressView> rich_;
  JobRecord record_;
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
