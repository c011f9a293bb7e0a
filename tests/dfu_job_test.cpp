// The DFU job on virtual bootloaders: erase regions, the overall progress
// line, every way a job can fail, and whole runs from the command line and
// the shell with raw and HEX programs.
#include "dfu/dfu_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/console_observer.h"
#include "console/reasons.h"
#include "dfu/connect.h"
#include "image_test_files.h"
#include "job_fixture.h"

namespace {

using job_test::AddBootloader;
using job_test::FlashHolds;
using job_test::Pattern;
using job_test::ReasonLines;
using job_test::Replaced;
using job_test::SimJobTest;
using job_test::ToolConnect;

constexpr uint32_t kSector = 4096;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The verdict line as the language the run chose writes it.
std::string Verdict(bool success, const std::string& seconds) {
  const std::string text =
      success ? Localized("DFU success!", "DFU 成功！") : Localized("DFU failed!", "DFU 失败！");
  return ">> " + text + " (" + seconds + "s)\n";
}

using Span = std::pair<uint32_t, uint32_t>;  // start, length

struct EraseCase {
  const char* name;
  std::vector<Span> programs;
  std::vector<Span> regions;
  std::vector<std::string> eraseTrace;
};

class DfuJobTest : public SimJobTest {
 protected:
  // app.bin at 0x1000 on a connected bootloader whose flash holds it, as a
  // download leaves it: the flash, for a test to change before the verify
  // step; nullptr when the bootloader did not connect.
  std::vector<uint8_t>* ConnectedFlashHolding(const std::vector<uint8_t>& program) {
    const int index = AddBootloader();
    AddProgram(0x1000, program, "app.bin");
    const int32_t connected = ToolConnect(false);
    EXPECT_EQ(connected, 1);
    if (connected != 1) return nullptr;
    std::vector<uint8_t>& flash = Device(index).flash();
    std::copy(program.begin(), program.end(), flash.begin() + 0x1000);
    return &flash;
  }
};

TEST_F(DfuJobTest, NeighbouringProgramsShareAnEraseAndUntouchedSectorsSurvive) {
  const std::vector<EraseCase> cases = {
      {"one program", {{0xA000, 0x1F40}}, {{0xA000, 0x1F40}}, {"dev0 erase 0x0000A000 2"}},
      {"a whole sector between, the first ending on a boundary",
       {{0x0000, 0x2000}, {0x3000, 0x100}},
       {{0x0000, 0x2000}, {0x3000, 0x100}},
       {"dev0 erase 0x00000000 2", "dev0 erase 0x00003000 1"}},
      {"a whole sector between, the first ending inside one",
       {{0x0000, 0x1800}, {0x3000, 0x100}},
       {{0x0000, 0x1800}, {0x3000, 0x100}},
       {"dev0 erase 0x00000000 2", "dev0 erase 0x00003000 1"}},
      {"the next sector",
       {{0x0000, 0x1800}, {0x2000, 0x100}},
       {{0x0000, 0x2100}},
       {"dev0 erase 0x00000000 3"}},
      {"back to back",
       {{0x0000, 0x2000}, {0x2000, 0x1000}},
       {{0x0000, 0x3000}},
       {"dev0 erase 0x00000000 3"}},
      {"one sector shared",
       {{0x1000, 0x100}, {0x1200, 0x100}},
       {{0x1000, 0x300}},
       {"dev0 erase 0x00001000 1"}},
      {"a start inside a sector",
       {{0x1F00, 0x200}, {0x3000, 0x10}},
       {{0x1F00, 0x1110}},
       {"dev0 erase 0x00001F00 3"}},
      {"three, the last far away",
       {{0x0000, 0x100}, {0x1000, 0x100}, {0x10000, 0x100}},
       {{0x0000, 0x1100}, {0x10000, 0x100}},
       {"dev0 erase 0x00000000 2", "dev0 erase 0x00010000 1"}},
  };
  for (const EraseCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    LogMode = false;
    theDfuSettings.mode = 1;
    const int index = AddBootloader();
    std::vector<uint8_t>& flash = Device(index).flash();
    std::fill(flash.begin(), flash.end(), 0x5A);  // old contents
    std::vector<uint8_t> expected(flash.size(), 0x5A);
    for (const Span& program : c.programs) {
      const uint32_t first = program.first / kSector;
      const uint32_t last = (program.first + program.second - 1) / kSector;
      std::fill(expected.begin() + first * kSector, expected.begin() + (last + 1) * kSector, 0xFF);
    }
    uint8_t seed = 1;
    for (const Span& program : c.programs) {
      const std::vector<uint8_t> bytes = Pattern(program.second, seed++);
      AddProgram(program.first, bytes);
      std::copy(bytes.begin(), bytes.end(), expected.begin() + program.first);
    }

    std::vector<Span> planned;
    for (const EraseRegion& region : PlanEraseRegions(theProgramImageList.images))
      planned.emplace_back(region.start, region.length);
    EXPECT_EQ(planned, c.regions);

    ASSERT_TRUE(RunDfuJob());
    EXPECT_EQ(TraceOf(index, sim::RequestKind::Erase), c.eraseTrace);
    // Programs in place, the rest of their sectors erased, every sector no
    // program touches as it was.
    EXPECT_TRUE(flash == expected);
  }
}

struct OverallCase {
  const char* name;
  uint8_t mode;
  std::string line;
  int reads;
};

TEST_F(DfuJobTest, LogModeOffShowsOneOverallLine) {
  const std::vector<OverallCase> cases = {
      {"download and read back", 0,
       "\r>>: 0%\r>>: 12%\r>>: 24%\r>>: 36%\r>>: 48%\r>>: 50%"
       "\r>>: 62%\r>>: 74%\r>>: 86%\r>>: 98%\r>>: 100%\r>>: 100%\n",
       5},
      {"download only", 1, "\r>>: 0%\r>>: 24%\r>>: 48%\r>>: 72%\r>>: 96%\r>>: 100%\r>>: 100%\n", 0},
  };
  for (const OverallCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    LogMode = false;
    theDfuSettings.mode = c.mode;
    const int index = AddBootloader();
    const std::vector<uint8_t> program = Pattern(256, 9);
    AddProgram(0x1000, program);

    ASSERT_TRUE(RunDfuJob());
    EXPECT_EQ(console.str(), c.line);
    EXPECT_EQ(CountRequests(index, sim::RequestKind::Read), c.reads);
    EXPECT_EQ(CountRequests(index, sim::RequestKind::Data), 5);
    EXPECT_EQ(CountRequests(index, sim::RequestKind::Restart), 3);
    EXPECT_TRUE(FlashHolds(index, 0x1000, program));
  }
}

TEST_F(DfuJobTest, NoDeviceLineInChinese) {
  UiLanguage = 0;
  AddProgram(0xA000, Pattern(0x100, 1));

  Reasons why;
  EXPECT_FALSE(RunDfuJob(&why));
  EXPECT_EQ(console.str(), ">> 进入 DFU\n>> 查询 USB 设备连接\n>>：未查询到可连接设备！\n");
  EXPECT_EQ(ReasonLines(why),
            "orvel-dfu: 错误：未找到 bootloader：没有连接产品 ID 为 0xC081 的 USB HID 接口\n"
            "orvel-dfu: 提示：要等待芯片的 bootloader 连接，请加上 -w 1\n");
}

// A read-back that differs names its first difference and counts every
// differing byte of that read; the device's failures read the same in
// Chinese.
TEST_F(DfuJobTest, FailureReasonsNameAddressesAndBytesInBothLanguages) {
  struct Case {
    int32_t language;
    std::optional<sim::Fault> fault;
    std::string reasons;
  };
  const std::vector<Case> cases = {
      {1, std::nullopt,
       "orvel-dfu: error: verify of app.bin (0x00001000..0x00001100) failed: first difference at "
       "0x00001040: written 0x42, read 0xBD; 3 of the 62 bytes read there differ\n"},
      {0, std::nullopt,
       "orvel-dfu: 错误：校验 app.bin（0x00001000..0x00001100）失败：首个不同之处在 0x00001040：写入 "
       "0x42，读回 0xBD；该次读取的 62 个字节中有 3 个不同\n"},
      {0, sim::Fault{sim::RequestKind::Erase, 1, sim::FaultEffect::Silent, 0},
       "orvel-dfu: 错误：擦除 0x00001000..0x00001100（app.bin）失败：2000 毫秒内没有应答\n"},
  };
  std::vector<uint8_t> program(0x100, 0x42);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reasons);
    TearDown();
    SetUp();
    UiLanguage = c.language;

    Reasons why;
    if (c.fault) {
      Device(AddBootloader()).AddFault(*c.fault);
      AddProgram(0x1000, program, "app.bin");
      EXPECT_FALSE(RunDfuJob(&why));
    } else {
      // Flash that holds the program but for three bytes of the second read.
      std::vector<uint8_t>* const flash = ConnectedFlashHolding(program);
      ASSERT_NE(flash, nullptr);
      flash->at(0x1040) = 0xBD;
      flash->at(0x1041) = 0x00;
      flash->at(0x1050) = 0x43;
      EXPECT_FALSE(ToolJob().VerifyStep(theProgramImageList, true, &why));
    }
    EXPECT_EQ(ReasonLines(why), c.reasons);
  }
}

// A byte read back other than written is found wherever it lies in a read:
// the first, second, a middle and the last byte of a full 62-byte chunk, and
// the first and last of the short last one. 200 bytes at 0x1000 are read as
// 62 + 62 + 62 + 14.
TEST_F(DfuJobTest, DifferenceAtAnyByteOfAReadIsFound) {
  const std::vector<uint8_t> program = Pattern(200, 5);
  const struct {
    uint32_t address;
    int32_t chunk;  // bytes in the read that holds it
  } cases[] = {{0x103E, 62}, {0x103F, 62}, {0x105C, 62}, {0x107B, 62}, {0x10BA, 14}, {0x10C7, 14}};
  for (const auto& c : cases) {
    SCOPED_TRACE(AddressText(c.address));
    TearDown();
    SetUp();
    std::vector<uint8_t>* const flash = ConnectedFlashHolding(program);
    ASSERT_NE(flash, nullptr);
    const uint8_t written = program[c.address - 0x1000];
    flash->at(c.address) = static_cast<uint8_t>(written ^ 0x80);
    Reasons why;
    EXPECT_FALSE(ToolJob().VerifyStep(theProgramImageList, true, &why));
    EXPECT_EQ(ReasonLines(why),
              "orvel-dfu: error: verify of app.bin (0x00001000..0x000010C8) failed: first difference at " +
                  AddressText(c.address) + ": written " + ByteText(written) + ", read " +
                  ByteText(static_cast<uint8_t>(written ^ 0x80)) + "; 1 of the " + std::to_string(c.chunk) +
                  " bytes read there differ\n");
  }
}

struct FailureCase {
  const char* name;
  bool attached;
  std::optional<sim::Fault> fault;
  std::string quietEnd;    // LogMode off, run from the command line, before the verdict
  const char* jobSeconds;  // in the verdict
  std::string loggedEnd;   // LogMode on
  std::string reasons;     // on standard error; PATH stands for the program's file
  std::string next;        // the console's note after them, the next step
};

// One program of 0x1F40 bytes at 0xA000: 130 packets each way; the 65th
// data packet starts at 0xAF80 and ends at 4030 bytes, the 3rd read starts at
// 0xA07C and ends at 186. Without a device the job clock never starts: the
// verdict counts one attempt (400 + 200 ms). Standard output is as it always
// was; the reasons go to standard error.
TEST_F(DfuJobTest, EveryFailureEndsTheJobWithoutARestart) {
  using sim::FaultEffect;
  using sim::RequestKind;
  const std::string eraseArea = ">> : Erase the Flash area (0x0000A000 - 0x00001F40 )";
  const std::string failed = ">> : Execution failed! (";
  const std::string download = "\r>> : Download progress: ";
  const std::string verify = "\r>> : Verify progress: ";
  const std::string error = "orvel-dfu: error: ";
  const std::string erasing = error + "erasing 0x0000A000..0x0000BF40 (PATH) failed: ";
  const std::string downloading = error + "download of PATH (0x0000A000..0x0000BF40) failed at ";
  const std::string verifying = error + "verify of PATH (0x0000A000..0x0000BF40) failed: ";
  const std::vector<uint8_t> program = Pattern(0x1F40, 7);
  char flipped[96];
  std::snprintf(flipped, sizeof flipped, "written 0x%02X, read 0x%02X", program[0x7C],
                program[0x7C] ^ 1);
  const std::string note = "orvel-dfu: note: next: ";
  const std::string noReply =
      note + "check the USB cable, put the chip back into its bootloader, then run the same command again\n";
  const std::string outOfStep =
      note + "put the chip back into its bootloader (reset it into the bootloader), then run the same command again\n";
  const std::vector<FailureCase> cases = {
      {"no device", false, std::nullopt, "", "0.600",
       ">> Enter DFU\n>> Querying USB device connections\n>>: No connected device found!\n",
       error + "no bootloader found: no USB HID interface with product ID 0xC081 is attached\n"
               "orvel-dfu: note: to wait until the chip's bootloader attaches, add -w 1\n",
       ""},
      {"erase echo wrong", true, sim::Fault{RequestKind::Erase, 1, FaultEffect::Wrong, 0}, "",
       "0.000", eraseArea + failed + "0.000s, 0.000s)\n",
       erasing + "the bootloader's reply was not the echo of the request: expected 1A 64 00 A0 00 00 02 00, "
                 "received 1A 00 00 A0 00 00 02 00\n",
       outOfStep},
      {"erase time-out", true, sim::Fault{RequestKind::Erase, 1, FaultEffect::Silent, 0}, "",
       "4.000", eraseArea + failed + "4.000s, 4.000s)\n", erasing + "no reply within 4000 ms\n", noReply},
      {"start echo wrong", true, sim::Fault{RequestKind::Start, 1, FaultEffect::Wrong, 0},
       "\r>>: 0%", "0.000",
       ">> : Download (0x0000A000 - 0x00001F40 )\n" + failed + "0.000s, 0.000s)\n",
       error + "starting the download of PATH (0x0000A000..0x0000BF40) failed: the bootloader's reply was not "
               "the echo of the request: expected 1A 61 00 A0 00 00 40 1F 00 00, received 1A 00 00 A0 00 00 40 1F "
               "00 00\n",
       outOfStep},
      {"data acknowledgement wrong", true, sim::Fault{RequestKind::Data, 65, FaultEffect::Wrong, 0},
       "\r>>: 25%\r>>: 25%\n", "0.000",
       download + "50%" + download + "50%\n" + failed + "0.000s, 0.000s)\n",
       downloading + "0x0000AF80: the bootloader did not accept the data: expected 1A 70 or 1A 71, received "
                     "1A 00\n",
       outOfStep},
      {"data time-out", true, sim::Fault{RequestKind::Data, 65, FaultEffect::Silent, 0},
       "\r>>: 25%\r>>: 25%\n", "1.000",
       download + "50%" + download + "50%\n" + failed + "1.000s, 1.000s)\n",
       downloading + "0x0000AF80: no reply within 1000 ms\n", noReply},
      {"device unplugged", true, sim::Fault{RequestKind::Data, 65, FaultEffect::Unplug, 0},
       "\r>>: 25%\r>>: 25%\n", "0.000",
       download + "50%" + download + "50%\n" + failed + "0.000s, 0.000s)\n",
       downloading + "0x0000AF80: the device is gone: writing to it failed (No such device)\n",
       note + "the chip left the USB bus; check the USB cable, put the chip back into its bootloader, then run "
              "the same command again\n"},
      {"read reply wrong", true, sim::Fault{RequestKind::Read, 1, FaultEffect::Wrong, 0},
       "\r>>: 50%\r>>: 50%\n", "0.000",
       verify + "0%" + verify + "0%\n" + failed + "0.000s, 0.000s)\n",
       verifying + "reading 62 bytes at 0x0000A000 failed: the bootloader's reply was not the flash data asked "
                   "for: expected 1A 60, received 1A 61\n",
       outOfStep},
      {"read data differ", true, sim::Fault{RequestKind::Read, 3, FaultEffect::Flip, 0},
       "\r>>: 51%\r>>: 51%\n", "0.000",
       verify + "2%" + verify + "2%\n" + failed + "0.000s, 0.000s)\n",
       verifying + "first difference at 0x0000A07C: " + flipped + "; 1 of the 62 bytes read there differ\n",
       note + "run the same command again; if the same address differs again, the chip's flash there may be "
              "faulty\n"},
      {"read time-out", true, sim::Fault{RequestKind::Read, 1, FaultEffect::Silent, 0},
       "\r>>: 50%\r>>: 50%\n", "1.000",
       verify + "0%" + verify + "0%\n" + failed + "1.000s, 1.000s)\n",
       verifying + "reading 62 bytes at 0x0000A000 failed: no reply within 1000 ms\n", noReply},
  };
  image_test::TempDir dir;
  const std::string path = dir.Write("app.bin", program);
  const std::vector<std::string> words = {"-p", "a000", path};

  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool logged : {false, true}) {
      TearDown();
      SetUp();
      int index = -1;
      if (c.attached) {
        index = AddBootloader();
        if (c.fault) Device(index).AddFault(*c.fault);
      }
      const std::string reasons = Replaced(c.reasons, "PATH", path);
      if (logged) {
        ASSERT_TRUE(ParseDfuOptions(words));
        LogMode = true;
        Reasons why;
        EXPECT_FALSE(RunDfuJob(&why));
        EXPECT_TRUE(EndsWith(console.str(), c.loggedEnd)) << console.str();
        EXPECT_EQ(ReasonLines(why), reasons);
      } else {
        std::istringstream noInput;
        EXPECT_EQ(RunOrvelDfu(words, noInput), 0);
        EXPECT_TRUE(EndsWith(console.str(), c.quietEnd + Verdict(false, c.jobSeconds)))
            << console.str();
        EXPECT_EQ(theHidLink.device, nullptr);  // closed after the verdict
        // A progress line left open ends before the first reason.
        const std::string lineEnd = EndsWith(c.quietEnd, "%") ? "\n" : "";
        EXPECT_EQ(errors.str(), lineEnd + reasons + c.next);
      }
      if (index >= 0) {
        EXPECT_EQ(CountRequests(index, sim::RequestKind::Restart), 0);
        EXPECT_FALSE(Device(index).restarted());
      }
    }
  }
}

// The process clock of a test, which sets the stop flag, as Ctrl+C does,
// once the console shows a text: the job then stops before its next packet.
class StopWhenShown : public TickSource {
 public:
  StopWhenShown(TickSource& clock, const std::ostringstream& console, std::string text, std::atomic<bool>& stop)
      : clock_(clock), console_(console), text_(std::move(text)), stop_(stop) {}
  int32_t Now() override {
    if (console_.str().find(text_) != std::string::npos) stop_ = true;
    return clock_.Now();
  }
  void Sleep(int32_t ms) override { clock_.Sleep(ms); }

 private:
  TickSource& clock_;
  const std::ostringstream& console_;
  std::string text_;
  std::atomic<bool>& stop_;
};

// A stop ends the progress line, sends nothing more and no restart, and the
// console says where it stopped and what running the command again does;
// the outcome is a failed job's.
TEST_F(DfuJobTest, StopEndsTheLineAndSaysHowToFinishTheWork) {
  struct StopCase {
    const char* name;
    std::string shown;               // the stop comes once this is on the console
    sim::RequestKind stoppedIn;      // its requests tell the address
    std::string reason;              // ADDR: 0xA000 + 62 for every request of stoppedIn
    std::string note;
  };
  const std::string note = "orvel-dfu: note: ";
  const std::vector<StopCase> cases = {
      {"while looking for the bootloader", "", sim::RequestKind::Probe,
       "stopped while looking for the bootloader", note + "nothing was erased or written\n"},
      {"before the first packet", "\r>>: 0%", sim::RequestKind::Data,
       "download of PATH (0x0000A000..0x0000BF40) stopped at ADDR",
       note + "the chip stays in its bootloader with an incomplete program; running the same command again "
              "finishes the work\n"},
      {"downloading", "\r>>: 10%", sim::RequestKind::Data,
       "download of PATH (0x0000A000..0x0000BF40) stopped at ADDR",
       note + "the chip stays in its bootloader with an incomplete program; running the same command again "
              "finishes the work\n"},
      {"reading back", "\r>>: 60%", sim::RequestKind::Read,
       "verify of PATH (0x0000A000..0x0000BF40) failed: stopped at ADDR",
       note + "the chip stays in its bootloader; its program is written but the job did not finish; running the "
              "same command again finishes the work\n"},
  };
  image_test::TempDir dir;
  const std::string path = dir.Write("app.bin", Pattern(0x1F40, 7));
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    LogMode = false;
    const bool attached = !c.shown.empty();
    const int index = attached ? AddBootloader() : -1;
    std::atomic<bool> stop{!attached};
    StopWhenShown stopper(clock, console, c.shown, stop);
    SetTickSource(&stopper);
    ASSERT_TRUE(ParseDfuOptions({"-p", "a000", path}));
    Reasons why;
    const bool done = ToolJob(&stop).Run(theDfuSettings, theProgramImageList, &why);
    EXPECT_EQ(EndWithVerdict(done, why, "done", "stopped"), RunOutcome::Failed);
    SetTickSource(&clock);

    const int sent = attached ? CountRequests(index, c.stoppedIn) : 0;
    const std::string stoppedAt = AddressText(0xA000 + 62 * static_cast<uint32_t>(sent));
    EXPECT_EQ(errors.str(), "orvel-dfu: error: " + Replaced(Replaced(c.reason, "PATH", path), "ADDR", stoppedAt) +
                                "\n" + c.note);
    // The line ends where it stood, and the verdict has a line of its own.
    if (attached) {
      EXPECT_TRUE(std::regex_search(console.str(), std::regex("\r>>: [0-9]+%\n>> stopped \\(")))
          << console.str();
      EXPECT_EQ(CountRequests(index, sim::RequestKind::Restart), 0);
    }
  }
}

// The rich view on a terminal beside LogMode's lines, both on one screen:
// its line is taken away before each line of standard output, and the
// erase message's line, which stays open while erasing, is left alone.
TEST_F(DfuJobTest, RichViewMakesRoomForTheLinesOfLogMode) {
  AddBootloader();
  AddProgram(0xA000, Pattern(0x1F40, 3));
  ConsoleJobObserver observer;
  observer.SetProgressStyle(ProgressStyle::Rich, &console, true);
  DfuSettings settings;
  ASSERT_TRUE(DfuJob(JobContext{theHidLink, theDeviceSearch, ProcessTicks(), observer})
                  .Run(settings, theProgramImageList));
  const std::string screen = console.str();
  EXPECT_NE(screen.find(">> : Erase the Flash area (0x0000A000 - 0x00001F40 )>> : Successful execution!"),
            std::string::npos)
      << screen;
  EXPECT_NE(screen.find("\rdownload: 8000 of 8000 bytes (100%)"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("\rdownload: 8000 of 8000 bytes (100%)\n"), std::string::npos) << screen;
  for (size_t at = screen.find(">> "); at != std::string::npos; at = screen.find(">> ", at + 3)) {
    if (at == 0 || screen.compare(at - 2, 2, " )") == 0) continue;
    EXPECT_TRUE(screen[at - 1] == '\n' || screen.compare(at - 2, 2, " \r") == 0)
        << "a line of standard output behind the view at " << at << ":\n" << screen;
  }
  // Nothing of the view is left on the line of the verdict, which follows.
  EXPECT_EQ(screen.back(), '\n');
}

// Three programs: raw at 0, HEX at its own address 0x12000, raw at 0x30080
// (moved down to 0x30000 behind 0x80 bytes of 0xFF filler).
class DfuJobEndToEndTest : public DfuJobTest {
 protected:
  void WritePrograms() {
    raw1 = Pattern(0x1234, 1);
    hex = Pattern(0x300, 2);
    raw2 = Pattern(0x777, 3);
    raw1Path = dir.Write("first.bin", raw1);
    raw2Path = dir.Write("second.bin", raw2);
    std::string text = image_test::LinearBaseLine(0x0001) + "\n";
    for (uint16_t offset = 0; offset < hex.size(); offset += 16) {
      const std::vector<uint8_t> record(hex.begin() + offset, hex.begin() + offset + 16);
      text += image_test::DataLine(static_cast<uint16_t>(0x2000 + offset), record) + "\n";
    }
    hexPath = dir.Write("middle.hex", text + image_test::kEndOfFileLine + "\n");
  }

  std::vector<uint8_t> ExpectedFlash() const {
    std::vector<uint8_t> flash(1u << 20, 0xFF);
    std::copy(raw1.begin(), raw1.end(), flash.begin());
    std::copy(hex.begin(), hex.end(), flash.begin() + 0x12000);
    std::copy(raw2.begin(), raw2.end(), flash.begin() + 0x30080);
    return flash;
  }

  void ExpectPacketsOf(int index) {
    EXPECT_EQ(TraceOf(index, sim::RequestKind::Erase),
              (std::vector<std::string>{"dev0 erase 0x00000000 2", "dev0 erase 0x00012000 1",
                                        "dev0 erase 0x00030000 1"}));
    EXPECT_EQ(TraceOf(index, sim::RequestKind::Start),
              (std::vector<std::string>{"dev0 start 0x00000000 0x00001234",
                                        "dev0 start 0x00012000 0x00000300",
                                        "dev0 start 0x00030000 0x000007F7"}));
    EXPECT_EQ(CountRequests(index, sim::RequestKind::Restart), 3);
    EXPECT_TRUE(Device(index).flash() == ExpectedFlash());
  }

  image_test::TempDir dir;
  std::vector<uint8_t> raw1, hex, raw2;
  std::string raw1Path, hexPath, raw2Path;
};

TEST_F(DfuJobEndToEndTest, RawAndHexProgramsFromTheCommandLine) {
  WritePrograms();
  const int index = AddBootloader();
  std::istringstream noInput;
  const std::vector<std::string> words = {"dfu", "-w",       "1",      "-s", "1",  //
                                          "-p",  "0",        raw1Path,             //
                                          "-p",  "ffffffff", hexPath,              //
                                          "-p",  "30080",    raw2Path};

  EXPECT_EQ(RunOrvelDfu(words, noInput), 1);
  const std::string out = console.str();
  // LogMode off: nothing before the overall line, no connect line either.
  EXPECT_EQ(out.rfind("\r>>: 0%", 0), 0u) << out;
  EXPECT_TRUE(EndsWith(out, "\r>>: 100%\r>>: 100%\n" + Verdict(true, "0.000"))) << out;
  ExpectPacketsOf(index);
}

TEST_F(DfuJobEndToEndTest, RawAndHexProgramsFromTheShell) {
  WritePrograms();
  const int index = AddBootloader();
  std::istringstream input("language 1\ndfu -p 0 " + raw1Path + " -p FFFFFFFF " + hexPath +
                           " -p 30080 " + raw2Path + "\nv\n");

  EXPECT_EQ(RunOrvelDfu({}, input), 1);
  const std::string out = console.str();
  // Each program gets its own download and read-back message, in address order.
  const std::vector<std::string> messages = {">> : Download (0x00000000 - 0x00001234 )\n",
                                             ">> : Download (0x00012000 - 0x00000300 )\n",
                                             ">> : Download (0x00030000 - 0x000007F7 )\n",
                                             ">> : Read Verify (0x00000000 - 0x00001234 )\n",
                                             ">> : Read Verify (0x00012000 - 0x00000300 )\n",
                                             ">> : Read Verify (0x00030000 - 0x000007F7 )\n"};
  size_t from = 0;
  for (const std::string& message : messages) {
    from = out.find(message, from);
    ASSERT_NE(from, std::string::npos) << message << out;
  }
  // The job ends the process: the next line of input is never read.
  EXPECT_TRUE(EndsWith(out, Verdict(true, "0.000"))) << out;
  EXPECT_EQ(out.find(VersionString(), 1), std::string::npos);
  ExpectPacketsOf(index);
}

}  // namespace
