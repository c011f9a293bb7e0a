// The engine with objects its caller owns: two jobs on two devices at once,
// and a job stopped through its flag.
#include "dfu/dfu_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "job_fixture.h"

namespace {

using job_test::AddBootloader;
using job_test::DevicePath;
using job_test::FlashHolds;
using job_test::Pattern;
using job_test::ReasonLines;

// A list of one program placed as the option parser would leave it.
ProgramImageList OneProgram(uint32_t start, const std::vector<uint8_t>& bytes, const std::string& path) {
  ProgramImageList programs;
  programs.images.push_back(job_test::PlacedImage(start, bytes, path));
  programs.areaEnd = kLargestProgramArea;
  return programs;
}

// One board's job: its own link, search, observer and settings.
struct Board {
  explicit Board(TickSource& clock) : link(clock) {}
  HidLink link;
  DeviceSearch search;
  JobObserver quiet;
  DfuSettings settings;
  ProgramImageList programs;
  Reasons why;
  bool flashed = false;
};

class EngineTest : public testing::Test {
 protected:
  void SetUp() override {
    Bus().Reset();
    SetTickSource(&clock);
  }
  void TearDown() override {
    SetTickSource(nullptr);
    Bus().Reset();
  }
  static sim::VirtualHidBus& Bus() { return sim::VirtualHidBus::Instance(); }

  sim::VirtualClock clock;  // the bus's, shared by the jobs
};

TEST_F(EngineTest, TwoJobsOnTwoDevicesAtOnceFlashEachItsOwn) {
  const std::vector<uint8_t> first = Pattern(0x3000, 1);
  const std::vector<uint8_t> second = Pattern(0x2345, 2);
  Board a(clock), b(clock);
  for (int n = 0; n < 2; ++n) AddBootloader(n);
  a.settings.device = DevicePath(0);
  a.programs = OneProgram(0x8000, first, "first.bin");
  b.settings.device = DevicePath(1);
  b.programs = OneProgram(0x20000, second, "second.bin");

  std::vector<std::thread> threads;
  for (Board* board : {&a, &b}) {
    threads.emplace_back([board, this] {
      DfuJob job(JobContext{board->link, board->search, clock, board->quiet});
      board->flashed = job.Run(board->settings, board->programs, &board->why);
      board->link.Close();
    });
  }
  for (std::thread& thread : threads) thread.join();

  ASSERT_TRUE(a.flashed) << ReasonLines(a.why);
  ASSERT_TRUE(b.flashed) << ReasonLines(b.why);
  EXPECT_TRUE(FlashHolds(0, 0x8000, first));
  EXPECT_TRUE(FlashHolds(1, 0x20000, second));
  // Each device saw only its own job: untouched flash where the other went.
  EXPECT_EQ(Bus().device(0).flash()[0x20000], 0xFF);
  EXPECT_EQ(Bus().device(1).flash()[0x8000], 0xFF);
  EXPECT_TRUE(Bus().device(0).restarted());
  EXPECT_TRUE(Bus().device(1).restarted());
}

// Sets the stop flag at the nth progress event of one step, or at once.
class StoppingObserver : public JobObserver {
 public:
  StoppingObserver(std::atomic<bool>& stop, JobStep step, int nth) : stop_(stop), step_(step), nth_(nth) {}
  void Progress(const JobProgress& progress) override {
    if (progress.step == step_ && ++seen_ == nth_) stop_ = true;
  }

 private:
  std::atomic<bool>& stop_;
  JobStep step_;
  int nth_;
  int seen_ = 0;
};

// The flag stops the job before its next packet: nothing more is sent, no
// restart, and the reason names where it stopped.
TEST_F(EngineTest, StopFlagEndsTheJobBeforeItsNextPacket) {
  struct Case {
    const char* name;
    JobStep step;
    int nth;      // 0: the flag is set before the job starts
    bool wait;    // no device attached: the connect step waits
    int packets;  // the device received, probe included
    std::string reasons;
  };
  const std::string program = "app.bin (0x0000A000..0x0000BF40)";
  const std::vector<Case> cases = {
      {"while waiting for a device", JobStep::Connect, 0, true, 0,
       "orvel-dfu: error: stopped while looking for the bootloader\n"},
      {"after the erase", JobStep::Erase, 1, false, 2,
       "orvel-dfu: error: download of " + program + " stopped at 0x0000A000\n"},
      {"in the download", JobStep::Download, 3, false, 5,
       "orvel-dfu: error: download of " + program + " stopped at 0x0000A07C\n"},
      {"in the read-back", JobStep::Verify, 2, false, 3 + 130 + 1,
       "orvel-dfu: error: verify of " + program + " failed: stopped at 0x0000A03E\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    const int index = c.wait ? -1 : AddBootloader(0);
    std::atomic<bool> stop{c.nth == 0};
    StoppingObserver observer(stop, c.step, c.nth);
    HidLink link(clock);
    DeviceSearch search;
    DfuSettings settings;
    settings.wait = c.wait ? 1 : 0;
    const ProgramImageList programs = OneProgram(0xA000, Pattern(0x1F40, 3), "app.bin");
    Reasons why;

    EXPECT_FALSE(DfuJob(JobContext{link, search, clock, observer, &stop}).Run(settings, programs, &why));

    EXPECT_EQ(ReasonLines(why), c.reasons);
    if (index >= 0) {
      EXPECT_EQ(static_cast<int>(Bus().device(index).trace().size()), c.packets);
      EXPECT_FALSE(Bus().device(index).restarted());
    }
  }
}

}  // namespace
