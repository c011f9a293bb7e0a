// --progress=rich: the text of the view, its line redrawn in place on a
// terminal, and a plain line every few seconds elsewhere.
#include "app/rich_progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "console/output.h"
#include "virtual_hid_bus.h"

namespace {

JobProgress Done(JobStep step, uint64_t done, uint64_t total) {
  JobProgress progress;
  progress.step = step;
  progress.stepDone = done;
  progress.stepTotal = total;
  return progress;
}

// A step shows at once; later counts at most every 100 ms, but the last of
// a step always; blanks cover what a longer line left; the line is taken
// away for a line of standard output, and ended at the job's end.
TEST(RichProgressTest, TerminalLineIsRedrawnInPlace) {
  std::ostringstream out;
  sim::VirtualClock clock;
  RichProgressView view(out, true, clock);
  view.StepStarted(JobStep::Download, 200);
  view.Progress(Done(JobStep::Download, 62, 200));
  clock.Sleep(100);
  view.Progress(Done(JobStep::Download, 124, 200));
  view.Progress(Done(JobStep::Download, 200, 200));
  view.StepStarted(JobStep::Verify, 200);
  view.ClearLine();
  view.ClearLine();
  view.Progress(Done(JobStep::Verify, 62, 200));
  view.EndLine();
  view.EndLine();
  const std::string last = "download: 200 of 200 bytes (100%), 2.0 KB/s, 0 s left";
  const std::string verify = "verify: 0 of 200 bytes (0%)";
  EXPECT_EQ(out.str(), "\rdownload: 0 of 200 bytes (0%)\rdownload: 124 of 200 bytes (62%), 1.2 KB/s, 1 s left\r" +
                           last + "\r" + verify + std::string(last.size() - verify.size(), ' ') + "\r" +
                           std::string(last.size(), ' ') + "\r\rverify: 62 of 200 bytes (31%)\n");
}

// In Chinese here.
TEST(RichProgressTest, ElsewhereAPlainLineEveryFewSeconds) {
  UiLanguage = 0;
  std::ostringstream out;
  sim::VirtualClock clock;
  RichProgressView view(out, false, clock);
  view.StepStarted(JobStep::Download, 1000);
  view.Progress(Done(JobStep::Download, 100, 1000));
  clock.Sleep(2999);
  view.Progress(Done(JobStep::Download, 200, 1000));
  clock.Sleep(1);
  view.Progress(Done(JobStep::Download, 300, 1000));
  view.Progress(Done(JobStep::Download, 1000, 1000));
  view.ClearLine();
  view.EndLine();
  UiLanguage = 1;
  EXPECT_EQ(out.str(), "orvel-dfu: 下载：300/1000 字节（30%），0.1 KB/秒，剩余 7 秒\n");
}

}  // namespace
