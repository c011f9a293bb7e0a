// What a station keeps of each board it served: the attempt, its line on
// standard output and its record in the log (JSON Lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/reason.h"
#include "device/device_search.h"
#include "dfu/job_plan.h"
#include "options/dfu_options.h"

// One board attempt.
struct BoardAttempt {
  DeviceEntry device;
  std::string port;        // its USB location, or its path where that is unknown
  int64_t startMs = 0;     // wall-clock, milliseconds since 1970 UTC
  int64_t endMs = 0;
  int32_t jobMs = 0;       // from the connect step to the end
  bool passed = false;
  Reasons why;
};

// "2026-12-09 17:42:15\t1-2.3\tORVEL-SIM-0\tPASS\t3.087s" and, for a failure,
// a tab and the first error: the line standard output gets, in the UI
// language, without its line end.
std::string ResultLine(const BoardAttempt& attempt);

// The first error's text led by a tab, as the result line and the summary
// end with it; empty without an error.
std::string FirstErrorText(const Reasons& reasons);

// The attempt as one line of JSON, without its line end: start and end
// (ISO 8601, UTC), location, serial, path, name, programs, result, reasons
// (English), version. Texts that are not valid UTF-8 keep their valid
// parts, the rest as U+FFFD.
std::string LogRecord(const BoardAttempt& attempt, const std::vector<ProgramSummary>& programs);

// text as a JSON string, quotes included.
std::string JsonString(const std::string& text);
