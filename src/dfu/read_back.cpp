#include "dfu/read_back.h"

#include "console/console.h"
#include "console/output.h"
#include "dfu/dfu_job.h"

namespace {

// A pass that went through ends its overall line at 100%, as a job does.
bool EndOverallLine(bool success) {
  if (success && !LogMode) ShowOverallProgress(100, 100, true);
  return success;
}

}  // namespace

bool RunFlashRead(uint32_t start, uint32_t length, std::vector<uint8_t>& bytes, Reasons* why) {
  if (!ConnectAsSet(why)) return false;
  StartJobClock();
  bytes.assign(length, 0);
  const int32_t total = static_cast<int32_t>(length);
  int32_t done = 0;
  if (!LogMode) ShowOverallProgress(total, done, false);
  return EndOverallLine(ReadFlashInto(bytes.data(), start, length, total, done, why));
}

bool RunVerifyOnly(Reasons* why) {
  if (!ConnectAsSet(why)) return false;
  StartJobClock();
  return EndOverallLine(VerifyStep(why, false));
}
