// What a job tells while it runs, as events: the console tool turns them into
// its step lines and progress lines, a library caller into callbacks, a
// station into its live view. The job itself never writes anything.
#pragma once

#include <cstdint>

#include "common/reason.h"
#include "device/device_search.h"

enum class JobKind { Flash, VerifyOnly, Read };

enum class JobStep { Connect, Erase, Download, Verify, Read, Restart };

// Where a step has got to, moved before each packet goes out, so that the
// figures of a failing packet count it.
struct JobProgress {
  JobStep step = JobStep::Download;
  // The program or range the step works on now, and its bytes done.
  uint32_t areaStart = 0;
  uint32_t areaLength = 0;
  uint32_t areaDone = 0;
  // The whole step: bytes done of its bytes (erase: the bytes of the
  // regions erased).
  uint64_t stepDone = 0;
  uint64_t stepTotal = 0;
  // The job as one count: a flash with read-back counts every program byte
  // twice, once downloading and once reading back.
  int32_t jobDone = 0;
  int32_t jobTotal = 0;
};

class JobObserver {
 public:
  virtual ~JobObserver() = default;

  virtual void JobStarted(JobKind /*kind*/) {}
  // The step's and the job's counts as the step begins (nothing done of
  // the step yet, no area).
  virtual void StepStarted(const JobProgress& /*start*/) {}
  // Reasons that cannot wait for the result: what a waiting connect step
  // waits for, and why it skips an interface.
  virtual void Said(const Reasons& /*reasons*/) {}
  virtual void Connected(bool /*waited*/, const DeviceEntry& /*device*/) {}
  virtual void NotConnected() {}
  // One erase region, one program's download or read-back, or a read range.
  virtual void AreaStarted(JobStep /*step*/, uint32_t /*start*/, uint32_t /*length*/) {}
  virtual void Progress(const JobProgress& /*progress*/) {}
  virtual void AreaFinished(JobStep /*step*/, bool /*ok*/) {}
  virtual void StepFinished(JobStep /*step*/, bool /*ok*/) {}
  virtual void JobFinished(JobKind /*kind*/, bool /*ok*/) {}
};
