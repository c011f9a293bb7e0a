#include <string>
#include <vector>

#include "app/app.h"
#include "app/tool_state.h"
#include "common/ascii_case.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "options/dfu_options.h"
#include "options/number_rule.h"

namespace {

// False at the end of the input. Lines from files made on Windows end in
// "\r\n"; the "\r" is no part of the line either.
bool ReadLine(std::istream& input, std::string& line) {
  if (!std::getline(input, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

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

RunOutcome RunShell(std::istream& input) {
  PrintVersionLine();
  PrintHelp();
  LogMode = true;
  std::string line;
  for (;;) {
    ConsoleOut() << kMessagePrefix << std::flush;
    // The end of the input ends the shell as `exit` does.
    if (!ReadLine(input, line)) return RunOutcome::Ended;
    switch (RunShellCommand(line)) {
      case ShellStep::Exit:
        return RunOutcome::Ended;
      case ShellStep::RunJob:
        return RunJobToEnd();
      case ShellStep::Continue:
        break;
    }
  }
}
