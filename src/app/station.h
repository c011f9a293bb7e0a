// --station: a production line's flashing station. The programs are loaded
// and checked once; then every bootloader that attaches (or every one the
// --device selectors name) is flashed in a worker of its own, at the same
// time as the others. Each board gets a result line on standard output and,
// with --log, a record on disk; a board that failed is not served again
// until it has left the bus. --count N ends the station after N boards
// passed; Ctrl+C (or SIGTERM) stops taking new boards and lets the boards
// in progress finish, a second one stops those too.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/exit_status.h"
#include "app/station_record.h"
#include "options/dfu_options.h"
#include "platform/ticks.h"

struct StationOptions {
  // How long the station waits between two looks at the bus.
  int32_t scanPauseMs = 200;
  // A board that does not answer yet, or whose node cannot be opened yet,
  // is tried this often, kRetryPauseMs apart, before it counts as failed: a
  // chip just attached may need a moment, and so may its node (udev gives
  // it its mode after it appears).
  int32_t connectTries = 5;
};

// Runs the station with the tool's parsed settings and loaded programs, on
// the process clock. interrupts counts Ctrl+C / SIGTERM (the caller installs
// the counting). Succeeded when at least one board passed and none failed.
RunOutcome RunStationWith(const DfuSettings& settings, const ProgramImageList& programs, std::atomic<int>& interrupts,
                   const StationOptions& options = StationOptions());

// The action: loads and checks the programs, refusing at once, then runs
// the station until it ends, with Ctrl+C and SIGTERM counted.
RunOutcome RunStation();
