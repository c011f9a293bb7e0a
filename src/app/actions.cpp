// Actions: what the command line asks for instead of a job. Each one runs
// once, ends the process with its own outcome, and never opens the shell.
#include "app/app.h"
#include "app/station.h"
#include "app/tool_state.h"
#include "console/reasons.h"
#include "options/dfu_options.h"

namespace {

RunOutcome RunHelpAction() {
  PrintUsage();
  return RunOutcome::Ended;
}

RunOutcome RunVersionAction() {
  PrintVersionLine();
  return RunOutcome::Ended;
}

// Every action the option parser knows, and what runs it; the result is
// how it ended.
struct ActionRow {
  DfuAction action;
  RunOutcome (*run)();
};

constexpr ActionRow kActions[] = {
    {DfuAction::Help, RunHelpAction},
    {DfuAction::Version, RunVersionAction},
    {DfuAction::DryRun, RunDryRun},
    {DfuAction::List, RunList},
    {DfuAction::Read, RunRead},
    {DfuAction::VerifyOnly, RunVerifyOnlyAction},
    {DfuAction::Station, RunStation},
};

}  // namespace

// An action runs only when its whole command line was read without an
// error; a refused one writes its reasons and nothing on standard output.
RunOutcome RunActionToEnd(const Reasons& parseReasons) {
  WriteReasons(parseReasons);
  if (HasError(parseReasons)) return RunOutcome::Refused;
  for (const ActionRow& row : kActions) {
    if (row.action == theDfuSettings.action) return row.run();
  }
  return RunOutcome::Refused;
}
