#include "app/app.h"
#include "app/tool_state.h"

#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"

// What failed comes just before the verdict that it explains.
int EndWithVerdict(bool success, const Reasons& why, const std::string& successText,
                   const std::string& failureText) {
  WriteReasons(why);
  PrintStatusLine(true, false, false, success ? successText : failureText);
  theHidLink.Close();
  return success ? 1 : 0;
}

int RunJobToEnd() {
  Reasons why;
  const bool success = RunDfuJob(&why);
  return EndWithVerdict(success, why, Localized("DFU success!", "DFU 成功！"),
                        Localized("DFU failed!", "DFU 失败！"));
}

// A command line that names an action runs it and ends. One that does not
// parse opens the shell; why it did not parse goes to standard error first.
// An empty command line is the way to open the shell and needs no word
// about it.
int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input, ShellInput mode) {
  UiLanguage = StartupUiLanguage();
  LogMode = false;
  Reasons why;
  const bool parsed = ParseDfuOptions(words, OptionNameCase::Exact, &why);
  // --quiet anywhere on the line covers every warning of the parse.
  SetQuietReasons(theDfuSettings.quiet);
  if (theDfuSettings.action != DfuAction::None) return RunActionToEnd(why);
  if (!words.empty()) WriteReasons(why);
  if (parsed) return RunJobToEnd();
  return RunShell(input, mode);
}
