#include "app/app.h"

#include <algorithm>
#include <ostream>
#include <utility>

#include "app/console_observer.h"
#include "app/job_notes.h"
#include "app/tool_state.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"
#include "platform/ticks.h"

namespace {

// A command line that names an action runs it and ends. One that does not
// parse opens the shell; why it did not parse goes to standard error first.
// An empty command line is the way to open the shell and needs no word
// about it. With --strict or --posix-exit a script is speaking: a command
// line that does not parse ends the tool with its reasons, and no prompt
// waits for input that never comes.
RunOutcome RunCommandLine(const std::vector<std::string>& words, std::istream& input, ShellInput mode) {
  Reasons why;
  const bool parsed = ParseDfuOptions(words, OptionNameCase::Exact, &why);
  // --quiet anywhere on the line covers every warning of the parse.
  SetQuietReasons(theDfuSettings.quiet);
  if (theDfuSettings.action != DfuAction::None) return RunActionToEnd(why);
  if (!words.empty()) WriteReasons(why);
  if (parsed) return RunJobToEnd();
  if (theDfuSettings.strict || theDfuSettings.posix_exit) return RunOutcome::Refused;
  return RunShell(input, mode);
}

// A job stopped before its first packet leaves the overall line open where
// another failure would too; a stop ends it, so that the verdict starts a
// line of its own.
void EndLineCutShortByStop(const Reasons& why) {
  const bool stopped = std::any_of(why.begin(), why.end(),
                                   [](const Reason& reason) { return reason.kind == ReasonKind::Stopped; });
  if (!stopped || !ProgressLineOpen()) return;
  ConsoleOut() << '\n' << std::flush;
  ForgetOpenProgressLine();
}

}  // namespace

// What failed comes just before the verdict that it explains, and the next
// step after it.
RunOutcome EndWithVerdict(bool success, Reasons why, const std::string& successText,
                          const std::string& failureText) {
  const JobRecord& job = TheConsoleObserver().LastJob();
  if (!success) {
    EndLineCutShortByStop(why);
    AddNextStep(why, job);
  } else if (theDfuSettings.progress != ProgressStyle::None) {
    AddJobSummary(why, job, TicksSince(JobClock));
  }
  WriteReasons(why);
  PrintStatusLine(true, false, false, success ? successText : failureText);
  theHidLink.Close();
  return success ? RunOutcome::Succeeded : RunOutcome::Failed;
}

RunOutcome RunJobToEnd() {
  Reasons why;
  bool success = false;
  {
    StopOnCtrlC stop;
    success = ToolJob(stop.flag()).Run(theDfuSettings, theProgramImageList, &why);
  }
  return EndWithVerdict(success, std::move(why), Localized("DFU success!", "DFU 成功！"),
                        Localized("DFU failed!", "DFU 失败！"));
}

int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input, ShellInput mode) {
  UiLanguage = StartupUiLanguage();
  LogMode = false;
  const RunOutcome outcome = RunCommandLine(words, input, mode);
  // The last options read decide: the command line's, or the dfu line's
  // that started the job at the prompt.
  return ExitStatus(outcome, theDfuSettings.posix_exit);
}
