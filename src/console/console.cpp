#include "console/console.h"

#include <cstdio>

#include "common/reason.h"
#include "console/output.h"
#include "platform/ticks.h"

int32_t JobClock = 0;
int32_t StepClock = 0;
int32_t LastStepPercent = -1;
int32_t LastOverallPercent = 0;

namespace {

// True while a percentage line has been written without its final line end.
bool progressLineOpen = false;

double ElapsedSeconds(int32_t now, int32_t since) {
  return static_cast<double>(TicksBetween(since, now)) / 1000.0;
}

int32_t PercentOf(int32_t total, int32_t done) {
  if (total == 0) return 100;
  const int64_t percent = static_cast<int64_t>(done) * 100 / total;
  return percent > 100 ? 100 : static_cast<int32_t>(percent);
}

void WritePercentLine(const std::string& prefix, int32_t percent, bool final) {
  std::string line = "\r";
  line += prefix;
  line += std::to_string(percent);
  line += '%';
  std::ostream& out = ConsoleOut();
  out << line << std::flush;
  if (final) out << '\n' << std::flush;
  progressLineOpen = !final;
}

// Download and verify share one last-shown value; a negative percentage is
// never taken as "already shown".
// The prefix is only looked up when a line is written: most packets write none.
void ShowStepProgress(std::string_view english, std::string_view chinese, int32_t total,
                      int32_t done, bool final) {
  const int32_t percent = PercentOf(total, done);
  if (!final && percent >= 0 && percent == LastStepPercent) return;
  LastStepPercent = percent;
  WritePercentLine(Localized(english, chinese), percent, final);
}

}  // namespace

void PrintStatusLine(bool withTime, bool restartStepClock, bool withStepTime, std::string_view text) {
  std::string line(kMessagePrefix);
  line += text;
  if (withTime) {
    const int32_t now = NowTicks();
    line += " (";
    if (withStepTime) {
      line += FormatSeconds(ElapsedSeconds(now, StepClock));
      line += "s, ";
    }
    line += FormatSeconds(ElapsedSeconds(now, JobClock));
    line += "s)";
  }
  line += '\n';
  ConsoleOut() << line << std::flush;
  progressLineOpen = false;
  if (restartStepClock) StepClock = NowTicks();
}

void PrintStepResult(bool success) {
  if (!LogMode) return;
  const std::string text = success ? Localized(": Successful execution!", "：执行成功！")
                                   : Localized(": Execution failed!", "：执行失败！");
  PrintStatusLine(true, false, true, text);
}

void ShowDownloadProgress(int32_t total, int32_t done, bool final) {
  ShowStepProgress(">> : Download progress: ", ">> ：下载进度: ", total, done, final);
}

void ShowVerifyProgress(int32_t total, int32_t done, bool final) {
  ShowStepProgress(">> : Verify progress: ", ">> ：校验进度: ", total, done, final);
}

// Unlike the per-step displays, 0% is always written again: each job's
// first overall update shows even though the value is carried over.
void ShowOverallProgress(int32_t total, int32_t done, bool final) {
  const int32_t percent = PercentOf(total, done);
  if (!final && percent > 0 && percent == LastOverallPercent) return;
  LastOverallPercent = percent;
  WritePercentLine(">>: ", percent, final);
}

void ResetStepProgress() { LastStepPercent = -1; }

bool ProgressLineOpen() { return progressLineOpen; }

void ForgetOpenProgressLine() { progressLineOpen = false; }

void StartJobClock() {
  JobClock = NowTicks();
  StepClock = JobClock;
}

void RestartStepClock() { StepClock = NowTicks(); }

std::string FormatHexAddress(uint32_t value) { return AddressText(value); }

std::string FormatSeconds(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}
