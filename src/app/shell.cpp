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

// A word as a note quotes it: at most its first 40 bytes, never ending in
// part of a multibyte (UTF-8 or GBK) character, and "..." for the rest.
std::string QuotedWord(const std::string& word) {
  constexpr size_t kShown = 40;
  if (word.size() <= kShown) return word;
  std::string shown = word.substr(0, kShown);
  while (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0x80) shown.pop_back();
  return shown + "...";
}

// A line that runs no command gets a note saying why; standard output stays
// as it is (the prompt comes again).
void NoteNoCommand(const std::vector<std::string>& words) {
  const std::string& first = words[0];
  Reasons why;
  if (first.empty()) {
    AddNote(&why, "a line that starts with a space runs no command", "以空格开头的行不执行任何命令");
  } else if (EqualsIgnoringAsciiCase(first, "exit")) {
    AddNote(&why, "exit leaves the shell only alone on its line, with nothing before or after it",
            "exit 只有单独成行（前后没有其他字符）时才退出");
  } else {
    AddNote(&why, "'{0}' is no command; the commands are help, v, exit, language N, log N and dfu OPTIONS",
            "“{0}”不是命令；可用命令为 help、v、exit、language N、log N 和 dfu 选项", {QuotedWord(first)});
  }
  WriteReasons(why);
}

// Command words and option names are matched without regard to case; the
// words themselves, program paths among them, go on as they were typed.
ShellStep RunShellCommand(const std::string& line) {
  SetQuietReasons(false);  // --quiet holds for its own dfu line only
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
  } else {
    NoteNoCommand(words);
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

RunOutcome RunShell(std::istream& input, ShellInput mode) {
  PrintVersionLine();
  PrintHelp();
  LogMode = true;
  Reasons opened;
  const std::unique_ptr<ShellLineSource> source = OpenShellLineSource(input, mode, &opened);
  WriteReasons(opened);
  std::string line;
  for (;;) {
    Reasons why;
    const ShellLineSource::Outcome got = source->Next(line, &why);
    WriteReasons(why);
    // The end of the input ends the shell as `exit` does.
    if (got == ShellLineSource::Outcome::End) return RunOutcome::Ended;
    if (got == ShellLineSource::Outcome::Skipped) continue;
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
