// The station on the in-process bus: every board served at once, its line
// and its record; a failed board left alone until a new one takes its place;
// --count, and Ctrl+C once and twice.
#include "app/station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/station_record.h"
#include "image_test_files.h"
#include "job_fixture.h"

namespace {

using job_test::DevicePath;
using job_test::FlashHolds;
using job_test::LoaderAt;
using job_test::Pattern;
using job_test::SimJobTest;

// The lines of a text, sorted: the boards end in any order.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Result lines with their local time and job time left out.
std::string Untimed(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9-]+ [0-9:]+\t([^\t]*\t[^\t]*\t[A-Z]+)\t[0-9.]+s"),
                            "TIME\t$1\tSECONDS");
}

class StationTest : public SimJobTest {
 protected:
  void SetUp() override {
    SimJobTest::SetUp();
    program = Pattern(0x1800, 5);
    AddProgram(0x8000, program, "app.bin");
    theDfuSettings.log_file = dir.File("station.jsonl");
  }

  // A board at DevicePath(number), serial SN-number; faulty: its 3rd data
  // packet gets a wrong acknowledgement; deniedOpens: its node opens only
  // after so many tries.
  int AddBoard(int number, bool faulty = false, int appearAfter = 0, int deniedOpens = 0) {
    sim::VirtualDeviceSetup setup = LoaderAt(number);
    setup.serial = L"SN-" + std::to_wstring(number);
    setup.appearAfterEnumerations = appearAfter;
    setup.deniedOpens = deniedOpens;
    const int index = Bus().AddDevice(setup);
    if (faulty) Device(index).AddFault({sim::RequestKind::Data, 3, sim::FaultEffect::Wrong, 0});
    return index;
  }

  // Runs the station; when a condition is given, presses Ctrl+C once it
  // holds (and again when twice). The condition is looked at once a
  // millisecond: it may read the log file, and a loop without a pause would
  // take a core from the boards. A station that has not ended after 30 s
  // fails the test and is stopped (Ctrl+C twice), rather than hanging it.
  RunOutcome RunUntil(const std::function<bool()>& condition, bool twice = false) {
    std::atomic<int> interrupts{0};
    std::atomic<bool> ended{false};
    std::thread operatorAtTheLine([&] {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!ended && std::chrono::steady_clock::now() < giveUp) {
        if (condition && condition()) {
          interrupts += twice ? 2 : 1;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (ended) return;
      ADD_FAILURE() << "the station was still running after 30 s";
      interrupts += 2;
    });
    const RunOutcome outcome = RunStationWith(theDfuSettings, theProgramImageList, interrupts);
    ended = true;
    operatorAtTheLine.join();
    return outcome;
  }

  std::vector<std::string> Records() const {
    std::vector<std::string> records;
    std::ifstream in(dir.File("station.jsonl"));
    for (std::string line; std::getline(in, line);) records.push_back(line);
    return records;
  }

  image_test::TempDir dir;
  std::vector<uint8_t> program;
};

TEST_F(StationTest, ServesEveryBoardAtOnceAndLogsEachUntilTheCountPassed) {
  const int first = AddBoard(0);
  const int faulty = AddBoard(1, true);
  const int third = AddBoard(2, false, 0, 2);  // a node not ready at first is tried again
  theDfuSettings.count = 2;

  EXPECT_EQ(RunUntil(nullptr), RunOutcome::Failed);  // a board failed

  EXPECT_TRUE(FlashHolds(first, 0x8000, program));
  EXPECT_TRUE(FlashHolds(third, 0x8000, program));
  EXPECT_TRUE(Bus().device(first).restarted() && Bus().device(third).restarted());
  EXPECT_FALSE(Bus().device(faulty).restarted());
  std::vector<std::string> lines = SortedLines(Untimed(console.str()));
  const std::string failure = "download of app.bin (0x00008000..0x00009800) failed at 0x0000807C: the bootloader "
                              "did not accept the data: expected 1A 70 or 1A 71, received 1A 00";
  const std::string path1 = DevicePath(1);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "FAIL\t" + path1 + "\tSN-1\t" + failure,
                       "Station: 2 passed, 1 failed",
                       "TIME\t-\tSN-0\tPASS\tSECONDS",
                       "TIME\t-\tSN-1\tFAIL\tSECONDS\t" + failure,
                       "TIME\t-\tSN-2\tPASS\tSECONDS",
                   }));
  const std::vector<std::string> records = Records();
  ASSERT_EQ(records.size(), 3u);
  const std::string failed = *std::find_if(records.begin(), records.end(), [](const std::string& record) {
    return record.find("\"FAIL\"") != std::string::npos;
  });
  EXPECT_TRUE(std::regex_match(
      failed, std::regex("\\{\"start\":\"20[0-9-]+T[0-9:.]+Z\",\"end\":\"20[0-9-]+T[0-9:.]+Z\",\"location\":null,"
                         "\"serial\":\"SN-1\",\"path\":\"" + path1 + "\",\"name\":\"Orvel ROM Bootloader\\(HID\\\\\\\\"
                         "VID_1234&PID_C081&REV_0100\\)\",\"programs\":\\[\\{\"path\":\"app.bin\",\"start\":\"0x00008000\","
                         "\"end\":\"0x00009800\",\"length\":6144,\"crc32\":\"0x[0-9A-F]{8}\"\\}\\],\"result\":\"FAIL\","
                         "\"reasons\":\\[\\{\"severity\":\"error\",\"text\":\"" + std::regex_replace(failure, std::regex("[().]"), "\\$&") +
                         "\"\\}\\],\"version\":\"Orvel ROM DFU V0.0.1\"\\}")))
      << failed;
}

// A failed board stays in its bootloader and is not served again, however
// often the station looks; the next board on its port (here: on its path)
// is served.
TEST_F(StationTest, FailedBoardIsLeftAloneUntilANewOneTakesItsPlace) {
  const int faulty = AddBoard(0, true);
  std::atomic<int> next{-1};
  int failedAt = 0;
  const auto nextBoardServed = [&] {
    if (Records().empty()) return false;
    if (failedAt == 0) failedAt = Bus().enumerations();
    if (next < 0 && Bus().enumerations() > failedAt + 10) {
      Bus().Unplug(faulty);
      next = AddBoard(0, false, Bus().enumerations() + 2);
    }
    return next >= 0 && Bus().writeCount(next) > 0 && !Bus().OnBus(next);  // flashed and restarted
  };

  EXPECT_EQ(RunUntil(nextBoardServed), RunOutcome::Failed);

  EXPECT_EQ(CountRequests(faulty, sim::RequestKind::Probe), 1);
  EXPECT_TRUE(FlashHolds(next, 0x8000, program));
  EXPECT_EQ(Records().size(), 2u);
}

// On the system's clock: the board's replies come late for real, so that
// Ctrl+C comes in the middle of its download.
TEST_F(StationTest, CtrlCOnceLetsBoardsFinishTwiceStopsThemWithoutARestart) {
  SetTickSource(nullptr);
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "twice" : "once");
    Bus().Reset();
    console.str("");
    const int board = AddBoard(0);
    for (int data = 5; data <= 60; ++data) Device(board).AddFault({sim::RequestKind::Data, data, sim::FaultEffect::Delay, 10});

    const RunOutcome outcome = RunUntil([&] { return Bus().writeCount(board) >= 3 + 8; }, twice);

    EXPECT_EQ(outcome, twice ? RunOutcome::Failed : RunOutcome::Succeeded);
    EXPECT_EQ(Bus().device(board).restarted(), !twice);
    EXPECT_NE(console.str().find(twice ? "Station: 0 passed, 1 failed" : "Station: 1 passed, 0 failed"),
              std::string::npos)
        << console.str();
  }
}

// Without its record a board cannot be traced: a log that cannot be written
// ends the station after the board in progress, without Ctrl+C.
TEST_F(StationTest, LogThatCannotBeWrittenStopsTakingBoards) {
  const std::string log = dir.File("no-folder/station.jsonl");
  theDfuSettings.log_file = log;
  const int board = AddBoard(0);

  const RunOutcome outcome = RunUntil(nullptr);

  EXPECT_EQ(outcome, RunOutcome::Succeeded);
  EXPECT_TRUE(FlashHolds(board, 0x8000, program));
  const std::string said = errors.str();
  const std::string lead = "orvel-dfu: error: cannot append to the log " + log + ": ";
  const size_t at = said.find(lead);
  ASSERT_NE(at, std::string::npos) << said;
  // Then the system's own words for the missing folder, which differ by platform.
  EXPECT_NE(said.find("; no new board is taken\n", at + lead.size()), std::string::npos) << said;
}

// A device's texts go into the log as they are where they are valid UTF-8;
// a byte that is not becomes U+FFFD, so every record stays valid JSON.
TEST(StationRecordTest, JsonStringEscapesAndKeepsOnlyValidUtf8) {
  const struct {
    std::string text;
    std::string json;
  } rows[] = {
      {"ORVEL-SIM-0", R"("ORVEL-SIM-0")"},
      {"a\"b\\c\n\x1f", R"("a\"b\\c\u000a\u001f")"},
      {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
      {"\x80x", R"("\ufffdx")"},                  // stray continuation byte
      {"\xC0\x80", R"("\ufffd\ufffd")"},           // overlong NUL
      {"\xE0\x80\xAF", R"("\ufffd\ufffd\ufffd")"},  // overlong '/'
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},  // surrogate
      {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
      {"\xE4\xB8", R"("\ufffd\ufffd")"},           // cut short
      {"\xE4\xB8x", R"("\ufffd\ufffdx")"},
  };
  for (const auto& row : rows) EXPECT_EQ(JsonString(row.text), row.json) << row.json;
}

}  // namespace
