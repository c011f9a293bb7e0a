// Actions: what the command line asks for instead of a job. Each one runs
// once, ends the process with its own exit status, and never opens the
// shell.
#include "app/app.h"
#include "app/station.h"
#include "app/tool_state.h"
#include "console/reasons.h"
#include "options/dfu_options.h"

namespace {

int RunHelpAction() {
  PrintUsage();
  return 0;
}

int RunVersionAction() {
  PrintVersionLine();
  return 0;
}

// Every action the option parser knows, and what runs it; the result is
// the exit status.
struct ActionRow {
  DfuAction action;
  int (*run)();
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
int RunActionToEnd(const Reasons& parseReasons) {
  WriteReasons(parseReasons);
  if (HasError(parseReasons)) return 0;
  for (const ActionRow& row : kActions) {
    if (row.action == theDfuSettings.action) return row.run();
  }
  return 0;
}
