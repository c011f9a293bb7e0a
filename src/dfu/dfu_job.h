// The DFU job: connect, erase, download, verify, restart; and the jobs that
// only read the chip. A DfuJob works with what its caller hands it (link,
// device search, clock, observer, stop flag) and with the settings and
// programs of each call, so any number of jobs can run side by side.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/reason.h"
#include "dfu/job_context.h"
#include "dfu/job_plan.h"
#include "options/dfu_options.h"

class DfuJob {
 public:
  explicit DfuJob(const JobContext& context) : context_(context) {}

  // The whole job over programs in ascending address order, each inside the
  // program area (as LoadPrograms leaves them): connect, erase, download,
  // read back in mode 0, restart. why, when given, receives what failed
  // (step, program, device) and notes. Nothing is retried; the device stays
  // open on the link after a failure, and the caller closes it.
  bool Run(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why = nullptr);
  // The same on a device already connected on the link (ConnectTo): erase,
  // download, read back in mode 0, restart.
  bool RunConnected(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why = nullptr);
  // Reads back every program and compares it, as the job's verify pass
  // does; erases, writes and restarts nothing. False at the first
  // difference or failed read; why names the first differing byte.
  bool VerifyOnly(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why = nullptr);
  // Reads [start, start + length) into bytes (resized to length).
  bool Read(const DfuSettings& settings, uint32_t start, uint32_t length, std::vector<uint8_t>& bytes,
            Reasons* why = nullptr);

  // The connect step with the settings' device identity, --device, -w and
  // --timeout; false when no device answered.
  bool Connect(const DfuSettings& settings, Reasons* why = nullptr);
  // The job's steps on a connected device, for the job and for tests.
  bool EraseStep(const std::vector<EraseRegion>& regions, const ProgramImageList& programs,
                 Reasons* why = nullptr);
  // jobTotal: the job's overall count (twice the program bytes when they are
  // read back afterwards).
  bool DownloadStep(const ProgramImageList& programs, int32_t jobTotal, Reasons* why = nullptr);
  // afterDownload: the job's count goes on from where the download left it,
  // at half; otherwise the read-back is all there is.
  bool VerifyStep(const ProgramImageList& programs, bool afterDownload, Reasons* why = nullptr);

 private:
  // What a read-back pass does with each chunk read: true to go on; false,
  // with the reason, to end the pass.
  using ChunkCheck = std::function<bool(uint32_t offset, const uint8_t* read, int32_t count, Reasons* why)>;

  // Everything of the job after the connect step.
  bool Flash(const DfuSettings& settings, const ProgramImageList& programs, Reasons* why);
  // The job's end, told to the observer: ok passed through.
  bool Finish(JobKind kind, bool ok);
  bool EraseOneRegion(const EraseRegion& region, const ProgramImageList& programs, JobProgress& count,
                      Reasons* why);
  bool DownloadProgram(const ProgramImage& image, JobProgress& count, Reasons* why);
  bool VerifyProgram(const ProgramImage& image, JobProgress& count, Reasons* why);
  bool ReadPass(uint32_t start, uint32_t length, JobProgress& count, const ChunkCheck& check, Reasons* why);
  bool Restart(Reasons* why);
  // Moves the count on by chunk bytes of the area [start, start + length),
  // of which areaDone are then done, and tells the observer.
  void Advance(JobProgress& count, uint32_t start, uint32_t length, uint32_t areaDone, int32_t chunk);
  // The count of a step that begins (nothing done, no area).
  void StartStep(const JobProgress& count);
  // A step ends early: the area and the step fail.
  bool FailStep(JobStep step);

  JobContext context_;
};
