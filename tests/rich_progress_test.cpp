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

class RichProgressTest : public testing::Test {
 protected:
  void SetUp() override { UiLanguage = 1; }
  void TearDown() override { UiLanguage = 1; }

  std::ostringstream out_;
  sim::VirtualClock clock_;
};

TEST_F(RichProgressTest, TextNamesStepBytesSpeedAndTimeLeft) {
  const struct {
    int32_t language;
    JobStep step;
    uint64_t done;
    uint64_t total;
    int32_t elapsedMs;
    std::string text;
  } cases[] = {
      {1, JobStep::Download, 0, 7232, 0, "download: 0 of 7232 bytes (0%)"},
      {1, JobStep::Download, 62, 7232, 0, "download: 62 of 7232 bytes (0%)"},
      {1, JobStep::Verify, 3720, 7232, 1000, "verify: 3720 of 7232 bytes (51%), 3.6 KB/s, 1 s left"},
      {1, JobStep::Erase, 8192, 8192, 2000, "erase: 8192 of 8192 bytes (100%), 4.0 KB/s, 0 s left"},
      {0, JobStep::Read, 1024, 4096, 500, "读取：1024/4096 字节（25%），2.0 KB/秒，剩余 2 秒"},
  };
  for (const auto& c : cases) {
    UiLanguage = c.language;
    EXPECT_EQ(RichProgressView::Text(c.step, c.done, c.total, c.elapsedMs), c.text);
  }
}

// A step shows at once; later counts at most every 100 ms, but the last of
// a step always; blanks cover what a longer line left; the line is taken
// away for a line of standard output, and ended at the job's end.
TEST_F(RichProgressTest, TerminalLineIsRedrawnInPlace) {
  RichProgressView view(out_, true, clock_);
  view.StepStarted(JobStep::Download, 200);
  view.Progress(Done(JobStep::Download, 62, 200));
  clock_.Sleep(100);
  view.Progress(Done(JobStep::Download, 124, 200));
  view.Progress(Done(JobStep::Download, 200, 200));
  view.StepStarted(JobStep::Verify, 200);
  view.ClearLine();
  view.ClearLine();
  view.Progress(Done(JobStep::Verify, 62, 200));
  view.EndLine();
  view.EndLine();
  const std::string first = "download: 0 of 200 bytes (0%)";
  const std::string last = "download: 200 of 200 bytes (100%), 2.0 KB/s, 0 s left";
  const std::string verify = "verify: 0 of 200 bytes (0%)";
  EXPECT_EQ(out_.str(), "\r" + first +                                           //
                            "\rdownload: 124 of 200 bytes (62%), 1.2 KB/s, 1 s left" +  //
                            "\r" + last +                                               //
                            "\r" + verify + std::string(last.size() - verify.size(), ' ') +  //
                            "\r" + std::string(last.size(), ' ') + "\r" +               //
                            "\rverify: 62 of 200 bytes (31%)\n");
}

TEST_F(RichProgressTest, ElsewhereAPlainLineEveryFewSeconds) {
  RichProgressView view(out_, false, clock_);
  view.StepStarted(JobStep::Download, 1000);
  view.Progress(Done(JobStep::Download, 100, 1000));
  clock_.Sleep(2999);
  view.Progress(Done(JobStep::Download, 200, 1000));
  clock_.Sleep(1);
  view.Progress(Done(JobStep::Download, 300, 1000));
  view.Progress(Done(JobStep::Download, 1000, 1000));
  view.ClearLine();
  view.EndLine();
  EXPECT_EQ(out_.str(), "orvel-dfu: download: 300 of 1000 bytes (30%), 0.1 KB/s, 7 s left\n");
}

}  // namespace
