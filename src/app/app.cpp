#include "app/app.h"

#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"

// What failed comes just before the verdict that it explains.
int RunJobToEnd() {
  Reasons why;
  const bool success = RunDfuJob(&why);
  WriteReasons(why);
  const std::string verdict =
      success ? Localized("DFU success!", "DFU 成功！") : Localized("DFU failed!", "DFU 失败！");
  PrintStatusLine(true, false, false, verdict);
  theHidLink.Close();
  return success ? 1 : 0;
}

// A command line that names an action runs it and ends. One that does not
// parse opens the shell; why it did not parse goes to standard error first.
// An empty command line is the way to open the shell and needs no word
// about it.
int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input) {
  UiLanguage = StartupUiLanguage();
  LogMode = false;
  Reasons why;
  const bool parsed = ParseDfuOptions(words, OptionNameCase::Exact, &why);
  // --quiet anywhere on the line covers every warning of the parse.
  SetQuietReasons(theDfuSettings.quiet);
  if (theDfuSettings.action != DfuAction::None) return RunActionToEnd(why);
  if (!words.empty()) WriteReasons(why);
  if (parsed) return RunJobToEnd();
  return RunShell(input);
}
