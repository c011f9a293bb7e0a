#include "app/app.h"

#include "console/console.h"
#include "console/output.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"

int RunJobToEnd() {
  const bool success = RunDfuJob();
  const std::string verdict =
      success ? Localized("DFU success!", "DFU 成功！") : Localized("DFU failed!", "DFU 失败！");
  PrintStatusLine(true, false, false, verdict);
  theHidLink.Close();
  return success ? 1 : 0;
}

// A command line that does not parse, an empty one included, opens the
// shell without a word about it.
int RunOrvelDfu(const std::vector<std::string>& words, std::istream& input) {
  UiLanguage = StartupUiLanguage();
  LogMode = false;
  if (ParseDfuOptions(words)) return RunJobToEnd();
  return RunShell(input);
}
