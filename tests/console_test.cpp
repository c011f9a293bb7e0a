// Console primitives: status lines with times, step results, the three
// progress displays and their skip rules, formatters, GBK output.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "common/reason.h"
#include "console/output.h"
#include "console/reasons.h"
#include "console_capture.h"
#include "platform/ticks.h"
#include "virtual_hid_bus.h"

namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CaptureConsole(out_, clock_);
    UiLanguage = 1;
    LogMode = true;
  }
  void TearDown() override { ReleaseConsole(); }
  // Everything written since the last call.
  std::string Take() {
    std::string text = out_.str();
    out_.str("");
    return text;
  }

  std::ostringstream out_;
  sim::VirtualClock clock_;
};

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(FormatTest, HexAddressAndSeconds) {
  EXPECT_EQ(FormatHexAddress(0xA000), "0x0000A000");
  EXPECT_EQ(FormatHexAddress(0), "0x00000000");
  EXPECT_EQ(FormatHexAddress(0xFFFFFFFFu), "0xFFFFFFFF");
  EXPECT_EQ(FormatHexAddress(0x7F000), "0x0007F000");
  EXPECT_EQ(FormatHexAddress(0xabcdef12u), "0xABCDEF12");

  EXPECT_EQ(FormatSeconds(0.5), "0.500");
  EXPECT_EQ(FormatSeconds(12.3456), "12.346");
  EXPECT_EQ(FormatSeconds(0), "0.000");
  EXPECT_EQ(FormatSeconds(2.5), "2.500");
  EXPECT_EQ(FormatSeconds(-1.25), "-1.250");
  EXPECT_EQ(FormatSeconds(1234567.0), "1234567.000");
}

TEST_F(ConsoleTest, StatusLineTimesComeFromStepAndJobClocks) {
  clock_.Sleep(100);
  StartJobClock();
  clock_.Sleep(672);
  RestartStepClock();
  clock_.Sleep(532);

  PrintStatusLine(true, false, true, ": Successful execution!");
  EXPECT_EQ(Take(), ">> : Successful execution! (0.532s, 1.204s)\n");
  PrintStatusLine(true, false, false, "DFU success!");
  EXPECT_EQ(Take(), ">> DFU success! (1.204s)\n");
  PrintStatusLine(false, false, true, "Download program");
  EXPECT_EQ(Take(), ">> Download program\n");
  PrintStatusLine(false, false, false, "");
  EXPECT_EQ(Take(), ">> \n");
}

TEST_F(ConsoleTest, StatusLineRestartsStepClockAfterWriting) {
  clock_.Sleep(2000);
  PrintStatusLine(false, true, false, "Restart device");
  EXPECT_EQ(Take(), ">> Restart device\n");
  EXPECT_EQ(StepClock, 2000);
  EXPECT_EQ(JobClock, 0);
  clock_.Sleep(5);
  PrintStatusLine(true, false, true, "x");
  EXPECT_EQ(Take(), ">> x (0.005s, 2.005s)\n");
}

TEST_F(ConsoleTest, TimesBeforeFirstJobCountFromStartAndMayBeNegative) {
  clock_.Sleep(3087);
  PrintStatusLine(true, false, false, "DFU failed!");
  EXPECT_EQ(Take(), ">> DFU failed! (3.087s)\n");
  StepClock = 3587;
  PrintStatusLine(true, false, true, "y");
  EXPECT_EQ(Take(), ">> y (-0.500s, 3.087s)\n");
}

TEST_F(ConsoleTest, StepResultTextsByLanguageAndEncoding) {
  StartJobClock();
  clock_.Sleep(1500);
  RestartStepClock();
  clock_.Sleep(250);
  struct Case {
    int32_t language;
    ConsoleEncoding encoding;
    bool success;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {1, ConsoleEncoding::Utf8, true, ">> : Successful execution! (0.250s, 1.750s)\n"},
      {7, ConsoleEncoding::Gbk, false, ">> : Execution failed! (0.250s, 1.750s)\n"},
      {0, ConsoleEncoding::Utf8, true, ">> ：执行成功！ (0.250s, 1.750s)\n"},
      {0, ConsoleEncoding::Utf8, false, ">> ：执行失败！ (0.250s, 1.750s)\n"},
      {0, ConsoleEncoding::Gbk, true,
       ">> " + Bytes({0xA3, 0xBA, 0xD6, 0xB4, 0xD0, 0xD0, 0xB3, 0xC9, 0xB9, 0xA6, 0xA3, 0xA1}) +
           " (0.250s, 1.750s)\n"},
      {0, ConsoleEncoding::Gbk, false,
       ">> " + Bytes({0xA3, 0xBA, 0xD6, 0xB4, 0xD0, 0xD0, 0xCA, 0xA7, 0xB0, 0xDC, 0xA3, 0xA1}) +
           " (0.250s, 1.750s)\n"},
  };
  for (const Case& c : cases) {
    UiLanguage = c.language;
    SetConsoleEncoding(c.encoding);
    PrintStepResult(c.success);
    EXPECT_EQ(Take(), c.expected) << "language " << c.language << " success " << c.success;
  }
}

TEST_F(ConsoleTest, StepResultWritesNothingWithLogModeOff) {
  LogMode = false;
  PrintStepResult(true);
  PrintStepResult(false);
  EXPECT_EQ(Take(), "");
}

// One progress call and what it must write.
struct ProgressCall {
  enum Display { Download, Verify, Overall, Reset } display;
  int32_t total;
  int32_t done;
  bool final;
  const char* expected;
};

void RunProgressCalls(const std::vector<ProgressCall>& calls, std::ostringstream& out) {
  int index = 0;
  for (const ProgressCall& call : calls) {
    out.str("");
    switch (call.display) {
      case ProgressCall::Download:
        ShowDownloadProgress(call.total, call.done, call.final);
        break;
      case ProgressCall::Verify:
        ShowVerifyProgress(call.total, call.done, call.final);
        break;
      case ProgressCall::Overall:
        ShowOverallProgress(call.total, call.done, call.final);
        break;
      case ProgressCall::Reset:
        ResetStepProgress();
        break;
    }
    EXPECT_EQ(out.str(), call.expected) << "call " << index;
    ++index;
  }
}

TEST_F(ConsoleTest, StepProgressSkipsRepeatsButNotFinalOrFirstOfPass) {
  RunProgressCalls(
      {
          {ProgressCall::Download, 200, 0, false, "\r>> : Download progress: 0%"},
          {ProgressCall::Download, 200, 1, false, ""},  // still 0%
          {ProgressCall::Download, 200, 62, false, "\r>> : Download progress: 31%"},
          {ProgressCall::Download, 200, 63, false, ""},
          {ProgressCall::Download, 200, 200, false, "\r>> : Download progress: 100%"},
          {ProgressCall::Download, 200, 200, true, "\r>> : Download progress: 100%\n"},
          // Shared with verify: the same percentage is not shown again.
          {ProgressCall::Verify, 50, 50, false, ""},
          {ProgressCall::Reset, 0, 0, false, ""},
          {ProgressCall::Verify, 50, 0, false, "\r>> : Verify progress: 0%"},
          {ProgressCall::Verify, 50, 0, false, ""},
          {ProgressCall::Verify, 50, 70, false, "\r>> : Verify progress: 100%"},
          {ProgressCall::Verify, 3, 1, true, "\r>> : Verify progress: 33%\n"},
          // Negative values are never taken as already shown.
          {ProgressCall::Verify, 10, -5, false, "\r>> : Verify progress: -50%"},
          {ProgressCall::Verify, 10, -5, false, "\r>> : Verify progress: -50%"},
      },
      out_);
}

TEST_F(ConsoleTest, OverallProgressRewritesZeroButNotRepeatedPercent) {
  RunProgressCalls(
      {
          {ProgressCall::Overall, 1000, 0, false, "\r>>: 0%"},
          {ProgressCall::Overall, 1000, 0, false, "\r>>: 0%"},
          {ProgressCall::Overall, 1000, 9, false, "\r>>: 0%"},
          {ProgressCall::Overall, 1000, 500, false, "\r>>: 50%"},
          {ProgressCall::Overall, 1000, 509, false, ""},
          {ProgressCall::Overall, 1000, 1000, false, "\r>>: 100%"},
          {ProgressCall::Overall, 1000, 1000, true, "\r>>: 100%\n"},
          // A reset of the per-step displays leaves the overall value alone.
          {ProgressCall::Reset, 0, 0, false, ""},
          {ProgressCall::Overall, 1000, 1500, false, ""},
      },
      out_);
  EXPECT_EQ(LastOverallPercent, 100);
  EXPECT_EQ(LastStepPercent, -1);
}

TEST_F(ConsoleTest, ProgressPrefixesPerLanguageAndEncoding) {
  UiLanguage = 0;
  ShowDownloadProgress(4, 1, false);
  EXPECT_EQ(Take(), "\r>> ：下载进度: 25%");
  ShowVerifyProgress(4, 2, true);
  EXPECT_EQ(Take(), "\r>> ：校验进度: 50%\n");
  ShowOverallProgress(4, 3, false);
  EXPECT_EQ(Take(), "\r>>: 75%");

  SetConsoleEncoding(ConsoleEncoding::Gbk);
  ResetStepProgress();
  ShowDownloadProgress(4, 1, false);
  EXPECT_EQ(Take(), "\r>> " + Bytes({0xA3, 0xBA, 0xCF, 0xC2, 0xD4, 0xD8, 0xBD, 0xF8, 0xB6, 0xC8}) + ": 25%");
  ShowVerifyProgress(4, 2, false);
  EXPECT_EQ(Take(), "\r>> " + Bytes({0xA3, 0xBA, 0xD0, 0xA3, 0xD1, 0xE9, 0xBD, 0xF8, 0xB6, 0xC8}) + ": 50%");
}

TEST_F(ConsoleTest, LocalizedPicksLanguageThenEncoding) {
  UiLanguage = 1;
  SetConsoleEncoding(ConsoleEncoding::Gbk);
  EXPECT_EQ(Localized("DFU success!", "DFU 成功！"), "DFU success!");
  UiLanguage = 0;
  EXPECT_EQ(Localized("DFU success!", "DFU 成功！"), "DFU " + Bytes({0xB3, 0xC9, 0xB9, 0xA6, 0xA3, 0xA1}));
  // Converted twice (the second time from the cache): same bytes.
  EXPECT_EQ(Localized("x", "支持命令: "), Bytes({0xD6, 0xA7, 0xB3, 0xD6, 0xC3, 0xFC, 0xC1, 0xEE, 0x3A, 0x20}));
  EXPECT_EQ(Localized("x", "支持命令: "), Bytes({0xD6, 0xA7, 0xB3, 0xD6, 0xC3, 0xFC, 0xC1, 0xEE, 0x3A, 0x20}));
  SetConsoleEncoding(ConsoleEncoding::Utf8);
  EXPECT_EQ(Localized("DFU failed!", "DFU 失败！"), "DFU 失败！");
  EXPECT_EQ(ToConsoleEncoding("：参数错误！"), "：参数错误！");
}

}  // namespace

// Reasons: one line each on standard error, severity word and text in the
// language and encoding of the moment, arguments inserted as they are.
TEST_F(ConsoleTest, ReasonLinesGoToStandardErrorInTheCurrentLanguage) {
  std::ostringstream err;
  SetConsoleErr(&err);
  const std::string gbkPath = Bytes({'a', 0xB3, 0xCC, 0xD0, 0xF2, '.', 'b', 'i', 'n'});
  Reasons why;
  AddError(&why, "cannot open '{0}': {1}", "无法打开“{0}”：{1}", {gbkPath, "No such file"});
  AddWarning(&why, "'{0}' read as address {1}", "“{0}”读作地址 {1}", {"fw.bin", AddressText(0xF)});
  AddNote(&why, "{0} stays {9}", "{0}", {"{1}"});

  struct Row {
    int32_t language;
    ConsoleEncoding encoding;
    bool quiet;
    std::string expected;
  } rows[] = {
      {1, ConsoleEncoding::Utf8, false,
       "orvel-dfu: error: cannot open '" + gbkPath + "': No such file\n"
       "orvel-dfu: warning: 'fw.bin' read as address 0x0000000F\n"
       "orvel-dfu: note: {1} stays {9}\n"},
      {1, ConsoleEncoding::Utf8, true, "orvel-dfu: error: cannot open '" + gbkPath + "': No such file\n"},
      {0, ConsoleEncoding::Utf8, true, "orvel-dfu: 错误：无法打开“" + gbkPath + "”：No such file\n"},
      // GBK: 错误 B4 ED CE F3, full-width colon A3 BA, quotes A1 B0 / A1 B1, 无法打开 CE DE B7 A8 B4 F2 BF AA.
      {0, ConsoleEncoding::Gbk, true,
       "orvel-dfu: " + Bytes({0xB4, 0xED, 0xCE, 0xF3, 0xA3, 0xBA, 0xCE, 0xDE, 0xB7, 0xA8, 0xB4, 0xF2, 0xBF,
                              0xAA, 0xA1, 0xB0}) +
           gbkPath + Bytes({0xA1, 0xB1, 0xA3, 0xBA}) + "No such file\n"},
  };
  for (const Row& row : rows) {
    UiLanguage = row.language;
    SetConsoleEncoding(row.encoding);
    SetQuietReasons(row.quiet);
    err.str("");
    WriteReasons(why);
    EXPECT_EQ(err.str(), row.expected) << "language " << row.language << " quiet " << row.quiet;
  }
  EXPECT_EQ(Take(), "");  // standard output carries no reason

  // A reason written while a progress line is open starts on a line of its own.
  SetQuietReasons(false);
  UiLanguage = 1;
  SetConsoleEncoding(ConsoleEncoding::Utf8);
  ShowOverallProgress(100, 40, false);
  err.str("");
  WriteReason(why[1]);
  EXPECT_EQ(err.str(), "\norvel-dfu: warning: 'fw.bin' read as address 0x0000000F\n");
  ShowOverallProgress(100, 100, true);
  err.str("");
  WriteReason(why[1]);
  EXPECT_EQ(err.str(), "orvel-dfu: warning: 'fw.bin' read as address 0x0000000F\n");
  SetConsoleErr(nullptr);
}
