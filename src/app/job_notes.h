// The notes the console tool adds after a job: after a success, what was
// done and how fast; after trouble with the device, or a stop, the one step
// the user can take next. The engine's reasons say what happened; these say
// what to do about it.
#pragma once

#include <cstdint>

#include "app/console_observer.h"
#include "common/reason.h"

// The bytes, the job's time (jobMs, as the verdict line shows it) and the
// speed.
void AddJobSummary(Reasons& why, const JobRecord& job, int32_t jobMs);

// A note for the first error that tells of a device that gave no reply,
// left the bus or replied wrongly, of flash that differs, or of a stop;
// nothing for any other failure.
void AddNextStep(Reasons& why, const JobRecord& job);
