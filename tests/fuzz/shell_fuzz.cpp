// One line at the shell's prompt, run in-process over the hidapi stand-in
// with no device on the bus and on the virtual clock, so a job fails fast
// and never reaches a device. The shell writes its banner and prompt, then
// either runs the job (which fails: "DFU failed!") or prompts again (or, for
// `exit`, ends); the exit status is 0; standard error holds only reason
// lines; nothing is written to any device; and no more than a few seconds of
// virtual time pass. A job in wait mode would wait for a device for ever,
// so such a line is only parsed.
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "app/shell_input.h"
#include "app/tool_state.h"
#include "common/ascii_case.h"
#include "console/console.h"
#include "console/reasons.h"
#include "console_capture.h"
#include "fuzz_support.h"
#include "options/dfu_options.h"
#include "virtual_hid_bus.h"

namespace {

using fuzz::Check;

constexpr int32_t kLongestJobMs = 5000;

// Programs a line can name: the working folder holds a small raw file and a
// small HEX file.
void PrepareWorkingFolder() {
  fuzz::WriteScratchFile("app.bin", std::string(300, '\x5A'));
  fuzz::WriteScratchFile("app.hex", ":0400100001020304E2\n:00000001FF\n");
  Check(chdir(fuzz::ScratchDir().string().c_str()) == 0, "the scratch folder is the working folder");
}

struct ShellRun {
  int status = 0;
  std::string out;
  std::string err;
};

ShellRun RunShellOn(const std::string& input, sim::VirtualClock& clock) {
  std::ostringstream out;
  std::ostringstream err;
  CaptureConsole(out, clock);
  SetConsoleErr(&err);
  UiLanguage = 1;
  std::istringstream in(input);
  ShellRun run;
  run.status = ExitStatus(RunShell(in), theDfuSettings.posix_exit);
  ReleaseConsole();
  SetConsoleErr(nullptr);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// What the shell does with the line, decided from its words as the shell
// documents it: end, run a job (in wait mode or not), or prompt again.
enum class Expect { Exit, Job, WaitJob, Prompt };

Expect ExpectedStep(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // Refused with a reason: too long to keep, or a NUL that would cut a word.
  if (line.size() > kLongestShellLine || line.find('\0') != std::string::npos) return Expect::Prompt;
  if (EqualsIgnoringAsciiCase(line, "exit")) return Expect::Exit;
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty() || !EqualsIgnoringAsciiCase(words[0], "dfu")) return Expect::Prompt;
  const std::vector<std::string> options(words.begin() + 1, words.end());
  if (!ParseDfuOptions(options, OptionNameCase::Insensitive)) return Expect::Prompt;
  return theDfuSettings.wait != 0 ? Expect::WaitJob : Expect::Job;
}

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void CheckErrorLinesAreReasons(const std::string& err) {
  std::istringstream lines(err);
  std::string line;
  while (std::getline(lines, line)) {
    Check(line.empty() || line.rfind("orvel-dfu: ", 0) == 0, "standard error carries only reason lines");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::VirtualClock clock;
  static const std::string banner = [] {
    PrepareWorkingFolder();
    sim::VirtualHidBus::Instance().Reset();
    const ShellRun empty = RunShellOn("", clock);
    Check(EndsWith(empty.out, std::string(kMessagePrefix)), "the shell prompts");
    return empty.out;
  }();

  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string line(input.substr(0, input.find('\n')));
  const Expect expect = ExpectedStep(line);
  if (expect == Expect::WaitJob) return 0;

  sim::VirtualHidBus::Instance().Reset();
  const int32_t before = clock.Now();
  const ShellRun run = RunShellOn(line + "\n", clock);
  // --posix-exit on the line: a failed job gives 1.
  const int failedJob = theDfuSettings.posix_exit ? 1 : 0;
  Check(run.status == (expect == Expect::Job ? failedJob : 0), "with no device a job fails, and exit ends with 0");
  Check(run.out.rfind(banner, 0) == 0, "the shell begins with its banner and prompt");
  Check(clock.Now() - before <= kLongestJobMs, "a line takes at most a few seconds of virtual time");
  Check(sim::VirtualHidBus::Instance().writes().empty(), "nothing is written to a device");
  CheckErrorLinesAreReasons(run.err);
  switch (expect) {
    case Expect::Exit:
      Check(run.out == banner, "exit ends the shell at once");
      break;
    case Expect::Job:
      Check(run.out.find("DFU failed!") != std::string::npos, "a job with no device fails");
      break;
    case Expect::Prompt:
    case Expect::WaitJob:
      Check(run.out.size() > banner.size() && EndsWith(run.out, std::string(kMessagePrefix)),
            "any other line prompts again");
      break;
  }
  ClearProgramImageList();
  return 0;
}
