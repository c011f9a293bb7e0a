// --progress=rich: how far a job's step has come, on standard error. The
// step, its bytes done of its bytes, the speed and the time left: one line
// redrawn in place on a terminal; a plain line every few seconds otherwise,
// so that a log gets a few whole lines and no carriage returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "dfu/job_observer.h"
#include "platform/ticks.h"

class RichProgressView {
 public:
  // A terminal's line is redrawn at most this often.
  static constexpr int32_t kRedrawMs = 100;
  // Elsewhere a plain line is written at most this often.
  static constexpr int32_t kPlainLineMs = 3000;

  // The job starts now, on clock.
  RichProgressView(std::ostream& out, bool terminal, TickSource& clock);

  // A step of total bytes (0 for a step that counts none).
  void StepStarted(JobStep step, uint64_t total);
  void Progress(const JobProgress& progress);
  // Ends the line drawn in place, keeping what it shows.
  void EndLine();
  // Takes the line drawn in place away, for a line of standard output on
  // the same screen.
  void ClearLine();

  // The line for a step's count, in the UI language, UTF-8:
  // "download: 3720 of 7232 bytes (51%), 12.4 KB/s, 1 s left" (no speed or
  // time left before anything was done).
  static std::string Text(JobStep step, uint64_t done, uint64_t total, int32_t elapsedMs);

 private:
  void Draw(bool now);

  std::ostream& out_;
  bool terminal_;
  TickSource& clock_;
  JobStep step_ = JobStep::Connect;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
  int32_t stepStart_ = 0;
  int32_t lastWrite_ = 0;
  // Screen columns of the line drawn in place; 0 when none is.
  size_t shownWidth_ = 0;
};
