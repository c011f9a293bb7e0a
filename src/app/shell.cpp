#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/shell_input.h"
#include "app/tool_state.h"
#include "common/ascii_case.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "options/dfu_options.h"
#include "options/number_rule.h"

namespace {

// The decimal number of a `language` or `log` command; false when it has no
// digit or does not fit, and then the command does nothing.
bool ReadSwitch(const std::vector<std::string>& words, bool& on) {
  if (words.size() < 2) return false;
  int32_t value = 0;
  if (ConvertInt32(words[1], 10, value) != NumberError::None) return false;
  on = value != 0;
  return true;
}

// The parameter error line (with log on), then why. With log off the line
// is not written, and the reasons alone say that the line was refused: every
// refusal carries at least one error.
void ReportParameterError(const Reasons& why) {
  if (LogMode) PrintStatusLine(false, false, true, Localized(": Parameter error!", "：参数错误！"));
  WriteReasons(why);
}

enum class ShellStep { Continue, Exit, RunJob };

// Command words and option names are matched without regard to case; the
// words themselves, program paths among them, go on as they were typed.
ShellStep RunShellCommand(const std::string& line) {
  if (EqualsIgnoringAsciiCase(line, "exit")) return ShellStep::Exit;
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return ShellStep::Continue;
  const std::string& command = words[0];
  bool on = false;
  if (EqualsIgnoringAsciiCase(command, "v")) {
    PrintVersionLine();
  } else if (EqualsIgnoringAsciiCase(command, "help")) {
    PrintHelp();
  } else if (EqualsIgnoringAsciiCase(command, "language")) {
    if (ReadSwitch(words, on)) UiLanguage = on ? 1 : 0;
  } else if (EqualsIgnoringAsciiCase(command, "log")) {
    if (ReadSwitch(words, on)) LogMode = on;
  } else if (EqualsIgnoringAsciiCase(command, "dfu")) {
    const std::vector<std::string> options(words.begin() + 1, words.end());
    Reasons why;
    const bool parsed = ParseDfuOptions(options, OptionNameCase::Insensitive, &why);
    SetQuietReasons(theDfuSettings.quiet);
    if (parsed) {
      WriteReasons(why);  // warnings about words read in an unexpected way
      return ShellStep::RunJob;
    }
    ReportParameterError(why);
  }
  return ShellStep::Continue;
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ') {
      words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

int RunShell(std::istream& input) {
  PrintVersionLine();
  PrintHelp();
  LogMode = true;
  const std::unique_ptr<ShellLineSource> source = OpenShellLineSource(input);
  std::string line;
  for (;;) {
    Reasons why;
    const ShellLineSource::Outcome got = source->Next(line, &why);
    WriteReasons(why);
    // The end of the input ends the shell as `exit` does.
    if (got == ShellLineSource::Outcome::End) return 0;
    if (got == ShellLineSource::Outcome::Skipped) continue;
    switch (RunShellCommand(line)) {
      case ShellStep::Exit:
        return 0;
      case ShellStep::RunJob:
        return RunJobToEnd();
      case ShellStep::Continue:
        break;
    }
  }
}
