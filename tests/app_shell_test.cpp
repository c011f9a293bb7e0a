// The entry and the shell, run in-process: start-up language, one-shot or
// shell, every shell command, and jobs on a virtual bootloader.
#include <gtest/gtest.h>

#include <stdlib.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/shell_input.h"
#include "app/tool_state.h"
#include "app_help_text.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "platform/ticks.h"
#include "console_capture.h"
#include "job_fixture.h"
#include "device/hid_link.h"
#include "options/dfu_options.h"
#include "platform/locale_names.h"
#include "platform/platform.h"
#include "portable.h"
#include "virtual_hid_bus.h"

namespace {

using app_test::kChineseHelp;
using app_test::kEnglishHelp;
using app_test::kVersionLine;
using job_test::FlashHolds;

const std::string kPrompt = ">> ";

// Sets LANG. True where the tool then starts in the language LANG gives:
// always on POSIX; on Windows, where the start-up language comes from the
// user's locale instead, only when that locale gives the same language.
bool UseLocale(const char* lang) {
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANGUAGE");
  setenv("LANG", lang, 1);
#ifdef _WIN32
  const bool chinese = IsChineseLanguageName(true, platform::Iso639FromLocale(lang));
  return StartupUiLanguage() == ChooseUiLanguage(chinese, true, platform::UiLocaleNameFrom("", lang));
#else
  return true;
#endif
}

constexpr const char* kNeedsLocale =
    "the start-up language comes from the Windows user locale here, not from LANG";

// The rows of a table left out because UseLocale cannot give their language.
struct LeftOutRows {
  size_t count = 0;
  bool Use(const char* lang) {
    if (UseLocale(lang)) return true;
    ++count;
    return false;
  }
  std::string Why(size_t rows) const {
    return std::to_string(count) + " of " + std::to_string(rows) + " rows left out: " + kNeedsLocale;
  }
};

std::string Banner(const char* help) { return std::string(kVersionLine) + help; }

TEST(SplitWordsTest, OnlySingleSpacesSeparate) {
  struct Case {
    std::string line;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"dfu -w 1", {"dfu", "-w", "1"}},
      {"dfu  -w 1", {"dfu", "", "-w", "1"}},
      {" help", {"", "help"}},
      {"help ", {"help"}},
      {"help  ", {"help", ""}},
      {"", {}},
      {" ", {""}},
      {"a\tb c", {"a\tb", "c"}},
      {"language 0 1", {"language", "0", "1"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitWords(c.line), c.words) << "'" << c.line << "'";
}

TEST(LanguageChoiceTest, IsoNameAndUiNameGiveLanguage) {
  struct Case {
    bool isoKnown;
    const char* iso639;
    bool uiKnown;
    const char* uiName;
    int32_t language;
  };
  const std::vector<Case> cases = {
      {true, "zh", true, "zh-CN", 0},  {true, "ZH", true, "zh-CN", 0},  {true, "Zh", false, "", 0},
      {true, "zh", true, "zh-TW", 1},  {true, "zh", true, "zh-cn", 1},  {true, "zh", true, "zh-CN ", 1},
      {true, "en", true, "zh-CN", 1},  {true, "en", false, "", 1},      {true, "zhx", true, "zh-CN", 1},
      {true, "z", true, "zh-CN", 1},   {true, "", true, "zh-CN", 1},    {false, "", true, "zh-CN", 0},
      {false, "", true, "en-US", 1},   {false, "", false, "", 0},
  };
  for (const Case& c : cases) {
    const bool chinese = IsChineseLanguageName(c.isoKnown, c.iso639);
    EXPECT_EQ(ChooseUiLanguage(chinese, c.uiKnown, c.uiName), c.language)
        << c.isoKnown << " '" << c.iso639 << "' " << c.uiKnown << " '" << c.uiName << "'";
  }
}

TEST(LanguageChoiceTest, StartupFollowsTheEnvironment) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX locale variables; Windows start-up languages are in platform_test and app_process_test";
#endif
  struct Case {
    const char* lang;
    const char* language;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"zh_CN.UTF-8", nullptr, 0}, {"zh_CN.GBK", nullptr, 0},        {"zh_TW.UTF-8", nullptr, 1},
      {"en_US.UTF-8", nullptr, 1}, {"C", nullptr, 1},                {"zh_CN.UTF-8", "zh_TW:zh_CN", 1},
      {"en_US.UTF-8", "zh_CN", 1}, {"zh_CN.UTF-8", "zh_CN:en_US", 0},
  };
  for (const Case& c : cases) {
    UseLocale(c.lang);
    if (c.language != nullptr) setenv("LANGUAGE", c.language, 1);
    EXPECT_EQ(StartupUiLanguage(), c.expected) << c.lang;
    EXPECT_EQ(IsChineseLocale(), std::string(c.lang).rfind("zh", 0) == 0) << c.lang;
  }
}

TEST(VersionTest, VersionLine) { EXPECT_EQ(VersionString() + "\n", kVersionLine); }

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CaptureConsole(out_, clock_);
    SetConsoleErr(&err_);
    sim::VirtualHidBus::Instance().Reset();
    UseLocale("en_US.UTF-8");
  }
  void TearDown() override {
    theHidLink.Close();
    ClearProgramImageList();
    sim::VirtualHidBus::Instance().Reset();
    ReleaseConsole();
    SetConsoleErr(nullptr);
    SetQuietReasons(false);
    unsetenv("LANG");
  }
  int Run(const std::vector<std::string>& words, const std::string& input) {
    out_.str("");
    err_.str("");
    std::istringstream in(input);
    return RunOrvelDfu(words, in);
  }

  std::ostringstream out_;
  std::ostringstream err_;
  sim::VirtualClock clock_;
};

TEST_F(ShellTest, CommandsAtThePrompt) {
  const std::string en = Banner(kEnglishHelp);
  const std::string zh = Banner(kChineseHelp);
  const std::string p = kPrompt;
  const std::string error = ">> : Parameter error!\n";
  struct Case {
    const char* name;
    const char* lang;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"exit", "en_US.UTF-8", "exit\n", en + p},
      {"exit any case", "en_US.UTF-8", "EXIT\nhelp\n", en + p},
      {"exit without line end", "en_US.UTF-8", "eXiT", en + p},
      {"exit with CRLF", "en_US.UTF-8", "exit\r\nhelp\n", en + p},
      {"exit only alone", "en_US.UTF-8", "exit \n exit\nexit now\n", en + p + p + p + p},
      {"end of input", "en_US.UTF-8", "", en + p},
      {"version", "en_US.UTF-8", "v\nV\nv 2\n", en + p + kVersionLine + p + kVersionLine + p + kVersionLine + p},
      {"help", "en_US.UTF-8", "help me\nHELP \nhelp\r\n", en + p + kEnglishHelp + p + kEnglishHelp + p + kEnglishHelp + p},
      {"nothing happens", "en_US.UTF-8", "\n help\n  \n\thelp\nhelpme\nversion\nlanguages 0\n",
       en + p + p + p + p + p + p + p + p},
      {"chinese start", "zh_CN.UTF-8", "help\n", zh + p + kChineseHelp + p},
      {"language 0", "en_US.UTF-8", "language 0\nhelp\n", en + p + p + kChineseHelp + p},
      {"language extra words", "en_US.UTF-8", "Language 0 1\nhelp\n", en + p + p + kChineseHelp + p},
      {"language 7", "zh_CN.UTF-8", "language 7\nhelp\n", zh + p + p + kEnglishHelp + p},
      {"language empty second word", "zh_CN.UTF-8", "language  -1x\nlanguage\nhelp\n", zh + p + p + p + kChineseHelp + p},
      {"language +3x", "zh_CN.UTF-8", "language +3x\nhelp\n", zh + p + p + kEnglishHelp + p},
      {"language bad numbers", "zh_CN.UTF-8", "language x\nlanguage 99999999999\nlanguage -\nhelp\n",
       zh + p + p + p + p + kChineseHelp + p},
      {"dfu alone", "en_US.UTF-8", "dfu\nDFU\n", en + p + error + p + error + p},
      {"dfu chinese", "zh_CN.UTF-8", "dfu\n", zh + p + ">> ：参数错误！\n" + p},
      {"log 0 silences", "en_US.UTF-8", "log 0\ndfu\nlog 1\ndfu\n", en + p + p + p + p + error + p},
      {"log bad numbers", "en_US.UTF-8", "log x\ndfu\nlog 0\nlog\nlog 3000000000\ndfu\n",
       en + p + p + error + p + p + p + p + p},
      {"dfu bad options", "en_US.UTF-8", "dfu -w 2 -p 0 a.bin\ndfu -p\ndfu -s x -p 0 a.bin\n",
       en + p + error + p + error + p + error + p},
  };
  LeftOutRows leftOut;
  for (const Case& c : cases) {
    if (!leftOut.Use(c.lang)) continue;
    EXPECT_EQ(Run({}, c.input), 0) << c.name;
    EXPECT_EQ(out_.str(), c.expected) << c.name;
  }
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(cases.size());
}

TEST_F(ShellTest, ShellSetsLogModeOn) {
  EXPECT_EQ(Run({}, "exit\n"), 0);
  EXPECT_TRUE(LogMode);
  EXPECT_EQ(Run({}, "log 0\n"), 0);
  EXPECT_FALSE(LogMode);
}

TEST_F(ShellTest, HelpInGbk) {
  SetConsoleEncoding(ConsoleEncoding::Gbk);
  if (!UseLocale("zh_CN.GBK")) GTEST_SKIP() << kNeedsLocale;
  EXPECT_EQ(Run({}, "exit\n"), 0);
  EXPECT_EQ(out_.str(), kVersionLine + platform::Utf8ToGbk(kChineseHelp) + kPrompt);
  EXPECT_NE(out_.str().find(std::string("\n") + app_test::kGbkSupportCommands + "\n"), std::string::npos);

  EXPECT_EQ(Run({}, "language 1\nhelp\ndfu\n"), 0);
  const std::string text = out_.str();
  EXPECT_NE(text.find(std::string("\n") + app_test::kGbkEnglishCommandFormat + "\n"), std::string::npos);
  EXPECT_NE(text.find(">> : Parameter error!\n"), std::string::npos);

  EXPECT_EQ(Run({}, "dfu\n"), 0);
  EXPECT_NE(out_.str().find(">> \xA3\xBA\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3\xA3\xA1\n"), std::string::npos);
}

TEST_F(ShellTest, CommandLineThatDoesNotParseOpensTheShell) {
  const std::vector<std::vector<std::string>> commandLines = {
      {}, {"-P", "0", "app.bin"}, {"-w"}, {"dfu"}, {"-w", "x", "-p", "0", "app.bin"}, {"language", "0"},
  };
  for (const auto& words : commandLines) {
    EXPECT_EQ(Run(words, "v\nexit\n"), 0);
    EXPECT_EQ(out_.str(), Banner(kEnglishHelp) + kPrompt + kVersionLine + kPrompt);
  }
}

// A script's command line that does not parse: with --strict or
// --posix-exit the reasons end the tool, and no prompt waits for input.
TEST_F(ShellTest, ScriptsAreNeverLeftAtAPrompt) {
  const std::string upperP =
      "'-P' is no option and was ignored: option names are case-sensitive on the command line (did you mean "
      "'-p'?)\n";
  const std::string noProgram =
      "orvel-dfu: error: no program given: name one with -p addr pg_path (for example -p A000 app.bin)\n";
  const struct {
    std::vector<std::string> words;
    int status;
    std::string err;
  } cases[] = {
      {{"--strict", "-P", "0", "app.bin"}, 0, "orvel-dfu: error: " + upperP + noProgram},
      {{"-P", "0", "app.bin", "--posix-exit"}, 2, "orvel-dfu: warning: " + upperP + noProgram},
      {{"--posix-exit"}, 2, noProgram},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + c.words.back());
    EXPECT_EQ(Run(c.words, "help\nexit\n"), c.status);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), c.err);
  }
}

TEST_F(ShellTest, PathsTypedAtThePromptKeepTheirCase) {
  EXPECT_EQ(Run({}, "dfu -P 0 /No/Such/App.BIN\nexit\n"), 0);
  EXPECT_NE(out_.str().find(">> : Parameter error!\n"), std::string::npos);
  ASSERT_EQ(theDfuSettings.programs.size(), 1u);
  EXPECT_EQ(theDfuSettings.programs[0].pg_path, "/No/Such/App.BIN");
}

// A line that runs nothing gets a note on standard error saying why, and a
// line too long to keep or holding a NUL byte is refused with an error;
// standard output is the prompt again, as ever, and the shell goes on.
TEST_F(ShellTest, LinesThatRunNothingSayWhyOnStandardError) {
  const std::string en = Banner(kEnglishHelp);
  const std::string p = kPrompt;
  const std::string v = kVersionLine;
  const std::string longest(kLongestShellLine - 1, ' ');  // after a "v"
  const std::string tooLong = "orvel-dfu: error: line 1 of the input is longer than 65536 bytes and was skipped\n";
  const std::string unknown =
      "orvel-dfu: note: 'helpme' is no command; the commands are help, v, exit, language N, log N and dfu OPTIONS\n";
  const std::string exitAlone =
      "orvel-dfu: note: exit leaves the shell only alone on its line, with nothing before or after it\n";
  struct Case {
    const char* name;
    const char* lang;
    std::string input;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"unknown command", "en_US.UTF-8", "helpme\nv\n", en + p + p + v + p, unknown},
      {"long unknown word", "en_US.UTF-8", std::string(39, 'x') + "\xE4\xBD\xA0x\n", en + p + p,
       "orvel-dfu: note: '" + std::string(39, 'x') + "...' is no command; the commands are help, v, exit, "
       "language N, log N and dfu OPTIONS\n"},
      {"unknown command, chinese", "zh_CN.UTF-8", "Helpme\n", Banner(kChineseHelp) + p + p,
       "orvel-dfu: 提示：“Helpme”不是命令；可用命令为 help、v、exit、language N、log N 和 dfu 选项\n"},
      {"leading space", "en_US.UTF-8", " help\n", en + p + p,
       "orvel-dfu: note: a line that starts with a space runs no command\n"},
      {"exit with more", "en_US.UTF-8", "exit now\nEXIT \n", en + p + p + p, exitAlone + exitAlone},
      {"empty line, commands without their number", "en_US.UTF-8", "\nlanguage\nlog\n", en + p + p + p + p, ""},
      {"longest line", "en_US.UTF-8", "v" + longest + "\nv" + longest + "\r\n", en + p + v + p + v + p, ""},
      {"a byte too long", "en_US.UTF-8", "v" + longest + " \nv\n", en + p + p + v + p, tooLong},
      {"very long line", "en_US.UTF-8", std::string(200000, 'v') + "\nexit\n", en + p + p, tooLong},
      {"zeros without a line end", "en_US.UTF-8", std::string(300000, '\0'), en + p + p, tooLong},
      {"NUL in a word", "en_US.UTF-8", "v\n" + std::string("dfu -p 8000 p1.bin\0zzz\nv\n", 25), en + p + v + p + p + v + p,
       "orvel-dfu: error: line 2 of the input holds a NUL byte (byte 19) and was skipped\n"},
  };
  LeftOutRows leftOut;
  for (const Case& c : cases) {
    if (!leftOut.Use(c.lang)) continue;
    EXPECT_EQ(Run({}, c.input), 0) << c.name;
    EXPECT_EQ(out_.str(), c.out) << c.name;
    EXPECT_EQ(err_.str(), c.err) << c.name;
  }
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(cases.size());
}

// Why a command line or a dfu line was refused goes to standard error, in
// the language of the moment; standard output stays as it was.
TEST_F(ShellTest, ReasonsForRefusedWordsGoToStandardError) {
  const std::string en = Banner(kEnglishHelp);
  const std::string zh = Banner(kChineseHelp);
  const std::string p = kPrompt;
  const std::string noProgram =
      "orvel-dfu: error: no program given: name one with -p addr pg_path (for example -p A000 app.bin)\n";
  const std::string noProgramZh = "orvel-dfu: 错误：没有指定程序：请用 -p addr pg_path 指定（例如 -p A000 app.bin）\n";
  struct Case {
    const char* name;
    const char* lang;
    std::vector<std::string> words;
    std::string input;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"empty command line", "en_US.UTF-8", {}, "exit\n", en + p, ""},
      {"upper-case option", "en_US.UTF-8", {"-P", "0", "app.bin"}, "exit\n", en + p,
       "orvel-dfu: warning: '-P' is no option and was ignored: option names are case-sensitive on the command "
       "line (did you mean '-p'?)\n" + noProgram},
      {"flash size", "zh_CN.UTF-8", {"-s", "3", "-p", "0", "app.bin"}, "", zh + p,
       "orvel-dfu: 错误：-s 3 不是有效的芯片程序区大小：可用 0（256 KB）、1（512 KB）或 2（1 MB）\n"},
      {"prompt, log on", "en_US.UTF-8", {}, "dfu -p\n", en + p + ">> : Parameter error!\n" + p,
       "orvel-dfu: warning: '-p' at the end is incomplete and was ignored: write -p addr pg_path (for example "
       "-p A000 app.bin)\n" + noProgram},
      {"prompt, log off", "en_US.UTF-8", {}, "log 0\ndfu -W 2 -P 0\n", en + p + p + p,
       "orvel-dfu: warning: -w 2 means waiting for the device, as -w 1 does\n"
       "orvel-dfu: error: '-P' is incomplete: write -p addr pg_path (for example -p A000 app.bin)\n"},
      {"prompt after language 0", "en_US.UTF-8", {}, "dfu\nlanguage 0\ndfu -x\n",
       en + p + ">> : Parameter error!\n" + p + p + ">> ：参数错误！\n" + p,
       noProgram + "orvel-dfu: 警告：“-x”不是选项，已忽略；选项为 -w、-s、-m 和 -p\n" + noProgramZh},
      // Actions are the command line's; the prompt says so and goes on.
      {"action at the prompt", "en_US.UTF-8", {}, "dfu --Help\nexit\n", en + p + ">> : Parameter error!\n" + p,
       "orvel-dfu: error: '--Help' is not available at the prompt: it works on the command line only (here, type "
       "help)\n"},
      // --quiet keeps warnings off standard error, for its own line only.
      {"quiet command line", "en_US.UTF-8", {"-P", "0", "app.bin", "--quiet"}, "", en + p, noProgram},
      {"quiet at the prompt", "en_US.UTF-8", {}, "dfu -x --quiet\ndfu -x\n",
       en + p + ">> : Parameter error!\n" + p + ">> : Parameter error!\n" + p,
       noProgram + "orvel-dfu: warning: '-x' is no option and was ignored; the options are -w, -s, -m and -p\n" +
           noProgram},
  };
  LeftOutRows leftOut;
  for (const Case& c : cases) {
    if (!leftOut.Use(c.lang)) continue;
    EXPECT_EQ(Run(c.words, c.input), 0) << c.name;
    EXPECT_EQ(out_.str(), c.out) << c.name;
    EXPECT_EQ(err_.str(), c.err) << c.name;
  }

  // Where both streams share a screen: the reasons come before the shell's
  // banner, and after the parameter error line they explain.
  SetConsoleErr(&out_);
  EXPECT_EQ(Run({"-p", "0"}, "dfu -p 0\n"), 0);
  const std::string incomplete =
      "orvel-dfu: error: '-p' is incomplete: write -p addr pg_path (for example -p A000 app.bin)\n";
  EXPECT_EQ(out_.str(), incomplete + en + p + ">> : Parameter error!\n" + incomplete + p);
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(cases.size());
}

// Actions run instead of a job and end the process; the shell never opens,
// so its input is never read. A refused action writes only its reasons.
TEST_F(ShellTest, ActionsRunInsteadOfAJobAndNeverOpenTheShell) {
  const std::string noProgram =
      "orvel-dfu: error: no program given: name one with -p addr pg_path (for example -p A000 app.bin)\n";
  struct Case {
    const char* name;
    const char* lang;
    std::vector<std::string> words;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"version", "en_US.UTF-8", {"--version"}, kVersionLine, ""},
      {"version, short", "en_US.UTF-8", {"-V"}, kVersionLine, ""},
      {"version, options not used", "zh_CN.UTF-8", {"-w", "1", "--version", "-p", "0", "nosuch.bin"}, kVersionLine,
       ""},
      {"two actions", "en_US.UTF-8", {"--help", "--version"}, "",
       "orvel-dfu: error: '--help' and '--version' are both actions: give only one\n"},
      {"unknown option", "zh_CN.UTF-8", {"--version", "--lsit"}, "",
       "orvel-dfu: 错误：未知选项“--lsit”（是否想用“--list”？）\n"},
      {"option refused", "en_US.UTF-8", {"-s", "3", "--dry-run"}, "",
       "orvel-dfu: error: -s 3 is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)\n"},
      {"dry run without a program", "en_US.UTF-8", {"--dry-run", "stray"}, "",
       "orvel-dfu: warning: 'stray' was ignored: it is no option and no option's value\n" + noProgram},
      {"quiet dry run", "en_US.UTF-8", {"stray", "--dry-run", "--quiet"}, "", noProgram},
  };
  LeftOutRows leftOut;
  for (const Case& c : cases) {
    if (!leftOut.Use(c.lang)) continue;
    EXPECT_EQ(Run(c.words, "help\n"), 0) << c.name;
    EXPECT_EQ(out_.str(), c.out) << c.name;
    EXPECT_EQ(err_.str(), c.err) << c.name;
  }
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(cases.size());
}

// --help names every option of the command line, in the UI language.
TEST_F(ShellTest, UsageNamesEveryOption) {
  const char* const forms[] = {"-w wait", "-s flash_size", "-m mode", "-p addr pg_path", "--device SELECTOR",
                               "--timeout SECONDS", "--quiet", "--strict", "--posix-exit", "--progress STYLE",
                               "--help, -h", "--version, -V", "--list", "--dry-run", "--read ADDR LENGTH FILE",
                               "--verify-only", "--station", "--count N", "--log FILE"};
  const struct {
    const char* lang;
    const char* start;
  } languages[] = {{"en_US.UTF-8", "Usage: orvel-dfu [options] -p addr pg_path"},
                   {"zh_CN.UTF-8", "用法：orvel-dfu [选项] -p addr pg_path"}};
  LeftOutRows leftOut;
  for (const auto& language : languages) {
    if (!leftOut.Use(language.lang)) continue;
    EXPECT_EQ(Run({"--help"}, "exit\n"), 0);
    const std::string usage = out_.str();
    EXPECT_EQ(usage.rfind(language.start, 0), 0u) << usage;
    for (const char* form : forms) EXPECT_NE(usage.find(std::string("  ") + form), std::string::npos) << form;
    EXPECT_EQ(usage.back(), '\n');
    EXPECT_EQ(err_.str(), "");
  }
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(std::size(languages));
}

// Jobs on a virtual bootloader: a program file in a directory of its own,
// a device path no parallel test shares.
class ShellJobTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    std::string pattern = TempFolderPattern("orvel-app-test");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    program_ = dir_ + "/App.BIN";
    for (int i = 0; i < 1000; ++i) bytes_.push_back(static_cast<uint8_t>(i * 7 + 3));
    std::ofstream(program_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
  }
  void TearDown() override {
    unlink(program_.c_str());
    rmdir(dir_.c_str());
    ShellTest::TearDown();
  }
  int AddBootloader() {
    sim::VirtualDeviceSetup setup;
    setup.path = "/dev/hidraw-app-test-" + std::to_string(getpid());
    return sim::VirtualHidBus::Instance().AddDevice(setup);
  }

  std::string dir_;
  std::string program_;
  std::vector<uint8_t> bytes_;
};

bool EndsWithVerdict(const std::string& text, const std::string& verdict) {
  const std::regex pattern(">> " + verdict + " \\([0-9]+\\.[0-9]{3}s\\)\n$");
  return std::regex_search(text, pattern);
}

TEST_F(ShellJobTest, OneShotJobRunsWithoutBannerAndLogModeOff) {
  const int device = AddBootloader();
  EXPECT_EQ(Run({"-p", "A000", program_}, "exit\n"), 1);
  const std::string text = out_.str();
  EXPECT_FALSE(LogMode);
  EXPECT_EQ(text.find("Orvel ROM DFU"), std::string::npos);
  EXPECT_EQ(text.find(kPrompt + kPrompt), std::string::npos);
  EXPECT_EQ(text.rfind("\r>>: 0%", 0), 0u) << text;
  EXPECT_TRUE(EndsWithVerdict(text, "DFU success!")) << text;
  EXPECT_TRUE(FlashHolds(device, 0xA000, bytes_));
  EXPECT_TRUE(sim::VirtualHidBus::Instance().device(device).restarted());
  EXPECT_EQ(theHidLink.device, nullptr);
  EXPECT_FALSE(theHidLink.claim.held());
}

TEST_F(ShellJobTest, JobFromThePromptEndsTheShell) {
  const int device = AddBootloader();
  EXPECT_EQ(Run({}, "Dfu -W 0 -P 1000 " + program_ + "\nhelp\n"), 1);
  const std::string text = out_.str();
  EXPECT_TRUE(EndsWithVerdict(text, "DFU success!")) << text;
  // Log mode: step messages, and no prompt and no help after the job.
  EXPECT_NE(text.find(">> : Successful execution!"), std::string::npos);
  EXPECT_EQ(text.find(kEnglishHelp), text.rfind(kEnglishHelp));
  EXPECT_TRUE(FlashHolds(device, 0x1000, bytes_));
  EXPECT_EQ(theHidLink.device, nullptr);
}

// A NUL byte would cut the path short where the file is opened: the line is
// refused as a whole, and nothing reaches the device.
TEST_F(ShellJobTest, LineWithNulRunsNoJob) {
  const int device = AddBootloader();
  EXPECT_EQ(Run({}, "dfu -p 8000 " + program_ + std::string("\0zzz\n", 5)), 0);
  EXPECT_TRUE(sim::VirtualHidBus::Instance().device(device).trace().empty());
  EXPECT_EQ(out_.str(), Banner(kEnglishHelp) + kPrompt + kPrompt);
  EXPECT_NE(err_.str().find("holds a NUL byte"), std::string::npos) << err_.str();
}

// Warnings about a command line or dfu line that parses come before the job.
TEST_F(ShellJobTest, WarningsComeBeforeTheJob) {
  const int device = AddBootloader();
  SetConsoleErr(&out_);
  EXPECT_EQ(Run({"-p", "A000", program_, "-w"}, ""), 1);
  const std::string warning =
      "orvel-dfu: warning: '-w' at the end is incomplete and was ignored: write -w wait (for example -w 1)\n";
  EXPECT_EQ(out_.str().rfind(warning + "\r>>: 0%", 0), 0u) << out_.str();
  EXPECT_TRUE(FlashHolds(device, 0xA000, bytes_));

  sim::VirtualHidBus::Instance().Reset();
  AddBootloader();
  EXPECT_EQ(Run({}, "dfu -p 0 " + program_ + " stray\n"), 1);
  const std::string stray = "orvel-dfu: warning: 'stray' was ignored: it is no option and no option's value\n";
  EXPECT_EQ(out_.str().rfind(Banner(kEnglishHelp) + kPrompt + stray + ">> Enter DFU\n", 0), 0u) << out_.str();
}

// The dry run loads and checks the programs, prints the plan and leaves the
// bus alone: no enumeration, no report.
TEST_F(ShellJobTest, DryRunTouchesNoDevice) {
  const int device = AddBootloader();
  EXPECT_EQ(Run({"--dry-run", "-w", "1", "-p", "A010", program_}, ""), 1);
  EXPECT_EQ(out_.str(),
            "Dry run: the job these options describe; no device is touched\n"
            "Program '" + program_ + "': 0x0000A000..0x0000A3F8, 1016 bytes, CRC-32 0xA8969AC0\n"
            "Erase 0x0000A000: 1 sector\n"
            "Packets: probe 1, erase 1, download start 1, download data 17, read 17, restart 3; 40 in all\n"
            "USB time: 0.040 s at one exchange per millisecond\n");
  EXPECT_EQ(err_.str(), "");
  EXPECT_EQ(sim::VirtualHidBus::Instance().enumerations(), 0);
  EXPECT_TRUE(sim::VirtualHidBus::Instance().writes().empty());
  EXPECT_TRUE(sim::VirtualHidBus::Instance().device(device).trace().empty());
  EXPECT_EQ(theHidLink.device, nullptr);
}

// --read checks its file before it looks for a device: a file it could not
// write ends it with the reason alone (no verdict, nothing on standard
// output, status 0) and the bus untouched, where it used to read the whole
// range first.
TEST_F(ShellJobTest, ReadRefusesItsFileBeforeLookingForADevice) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX FIFOs, devices and the system's words in the reasons";
#else
  const int device = AddBootloader();
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* lang;
    std::string path;
    std::string err;
  } cases[] = {
      {"en_US.UTF-8", dir_ + "/nodir/out.bin",
       "orvel-dfu: error: cannot write " + dir_ + "/nodir/out.bin: No such file or directory\n"},
      {"en_US.UTF-8", dir_, "orvel-dfu: error: cannot write " + dir_ + ": Is a directory\n"},
      {"en_US.UTF-8", fifo,
       "orvel-dfu: error: cannot write " + fifo +
           ": it is a FIFO, not a regular file; --read writes only regular files\n"},
      {"zh_CN.UTF-8", "/dev/null", "orvel-dfu: 错误：无法写入 /dev/null：它是设备，不是普通文件；--read 只写入普通文件\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    UseLocale(c.lang);
    EXPECT_EQ(Run({"--read", "0", "40000", c.path}, ""), 0);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(), c.err);
    EXPECT_EQ(sim::VirtualHidBus::Instance().enumerations(), 0);
    EXPECT_TRUE(sim::VirtualHidBus::Instance().device(device).trace().empty());
  }
  unlink(fifo.c_str());
#endif
}

// --quiet: a job's warnings stay off standard error, on the command line
// and at the prompt.
TEST_F(ShellJobTest, QuietJobWritesNoWarnings) {
  const int device = AddBootloader();
  EXPECT_EQ(Run({"-p", "A000", program_, "stray", "--quiet"}, ""), 1);
  EXPECT_EQ(err_.str(), "");
  EXPECT_TRUE(FlashHolds(device, 0xA000, bytes_));

  sim::VirtualHidBus::Instance().Reset();
  AddBootloader();
  EXPECT_EQ(Run({}, "dfu -p 0 " + program_ + " stray --QUIET\n"), 1);
  EXPECT_EQ(err_.str(), "");
  EXPECT_TRUE(EndsWithVerdict(out_.str(), "DFU success!")) << out_.str();
}

TEST_F(ShellJobTest, FailedJobsGiveStatusZero) {
  // No device and no waiting: the job fails at once.
  EXPECT_EQ(Run({"-p", "0", program_}, ""), 0);
  EXPECT_TRUE(EndsWithVerdict(out_.str(), "DFU failed!")) << out_.str();

  if (!UseLocale("zh_CN.UTF-8")) GTEST_SKIP() << kNeedsLocale;
  EXPECT_EQ(Run({}, "log 0\ndfu -p 0 " + program_ + "\n"), 0);
  EXPECT_TRUE(EndsWithVerdict(out_.str(), "DFU 失败！")) << out_.str();
  EXPECT_EQ(out_.str().rfind(Banner(kChineseHelp) + kPrompt + kPrompt, 0), 0u);
}

// --posix-exit: 0 for success, 1 for failure, 2 for a refused command line,
// for a job and every action, on the command line and at the prompt.
TEST_F(ShellJobTest, PosixExitGivesTheUsualStatuses) {
  const struct {
    const char* name;
    bool attached;
    std::vector<std::string> words;
    std::string input;
    int status;
  } cases[] = {
      {"flashed", true, {"--posix-exit", "-p", "A000", program_}, "", 0},
      {"no device", false, {"--posix-exit", "-p", "A000", program_}, "", 1},
      {"refused", true, {"--posix-exit", "-P", "A000", program_}, "help\n", 2},
      {"help", false, {"--posix-exit", "-h"}, "", 0},
      {"refused action", false, {"--posix-exit", "--help", "--list"}, "", 2},
      {"none listed", false, {"--posix-exit", "--list"}, "", 1},
      {"dry run that would not start", false, {"--posix-exit", "--dry-run", "-p", "7F000", program_}, "", 1},
      {"verify of erased flash", true, {"--posix-exit", "--verify-only", "-p", "A000", program_}, "", 1},
      {"verify of no file", true, {"--posix-exit", "--verify-only", "-p", "A000", dir_ + "/none.bin"}, "", 2},
      {"read into no folder", true, {"--posix-exit", "--read", "0", "10", dir_ + "/none/out.bin"}, "", 2},
      {"job at the prompt", false, {}, "dfu --posix-exit -p 0 " + program_ + "\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::VirtualHidBus::Instance().Reset();
    if (c.attached) AddBootloader();
    EXPECT_EQ(Run(c.words, c.input), c.status);
  }
}

// How progress shows, and the note after a successful job, which gives the
// bytes, time and speed (the virtual clock stands still: 1 ms is the least).
TEST_F(ShellJobTest, ProgressStylesAndTheNoteAfterAJob) {
  const std::string flashed = "orvel-dfu: note: 1000 bytes written and verified in 0.000 s (976.6 KB/s)\n";
  const std::string verdict = ">> DFU success! (0.000s)\n";
  const std::string stepDone = ">> : Successful execution! (0.000s, 0.000s)\n";
  const struct {
    const char* name;
    const char* lang;
    std::vector<std::string> words;
    std::string input;
    std::string out;  // "": the percentage line, as ever
    std::string err;
  } cases[] = {
      {"percent", "en_US.UTF-8", {"-p", "A000", program_}, "", "", flashed},
      {"none", "en_US.UTF-8", {"--progress=none", "-p", "A000", program_}, "", verdict, ""},
      {"rich", "en_US.UTF-8", {"--progress", "rich", "-p", "A000", program_}, "", verdict, flashed},
      {"download only, Chinese", "zh_CN.UTF-8", {"-m", "1", "-p", "A000", program_}, "", "",
       "orvel-dfu: 提示：已写入 1000 字节，用时 0.000 秒（976.6 KB/秒）\n"},
      // LogMode's lines stay; its per-program progress lines go.
      {"none at the prompt", "en_US.UTF-8", {}, "dfu --progress=none -m 1 -p A000 " + program_ + "\n",
       Banner(kEnglishHelp) + kPrompt + ">> Enter DFU\n>> Querying USB device connections\n" +
           ">> : Query connected device: \"Orvel ROM Bootloader(HID\\VID_1234&PID_C081&REV_0100)\"\n" +
           ">> Erase Device Flash\n>> : Erase the Flash area (0x0000A000 - 0x000003E8 )" + stepDone +
           ">> Download program\n>> : Download (0x0000A000 - 0x000003E8 )\n" + stepDone + ">> Restart the device\n" +
           stepDone + verdict,
       ""},
  };
  LeftOutRows leftOut;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!leftOut.Use(c.lang)) continue;
    sim::VirtualHidBus::Instance().Reset();
    const int device = AddBootloader();
    EXPECT_EQ(Run(c.words, c.input), 1);
    if (c.out.empty()) {
      EXPECT_EQ(out_.str().rfind("\r>>: 0%", 0), 0u) << out_.str();
    } else {
      EXPECT_EQ(out_.str(), c.out);
    }
    EXPECT_EQ(err_.str(), c.err);
    EXPECT_TRUE(FlashHolds(device, 0xA000, bytes_));
  }
  if (leftOut.count > 0) GTEST_SKIP() << leftOut.Why(std::size(cases));
}

// --strict on a dfu line refuses that line only.
TEST_F(ShellJobTest, StrictAtThePromptRefusesItsLine) {
  EXPECT_EQ(Run({}, "dfu --strict -p A000 " + program_ + " stray\nexit\n"), 0);
  EXPECT_EQ(out_.str(), Banner(kEnglishHelp) + kPrompt + ">> : Parameter error!\n" + kPrompt);
  EXPECT_EQ(err_.str(),
            "orvel-dfu: error: 'stray' was ignored: it is no option and no option's value\n"
            "orvel-dfu: note: --strict turns these warnings into errors\n");
}

// The modifiers on a dfu line: --device picks one of two bootloaders, and
// --timeout ends a wait for one that is not there as a query ends.
TEST_F(ShellJobTest, PromptTakesDeviceAndTimeout) {
  sim::VirtualHidBus& bus = sim::VirtualHidBus::Instance();
  for (int n = 0; n < 2; ++n) {
    sim::VirtualDeviceSetup setup;
    setup.path = "/dev/hidraw-prompt-" + std::to_string(getpid()) + "-" + std::to_string(n);
    setup.serial = L"SN-" + std::to_wstring(n);
    bus.AddDevice(setup);
  }
  EXPECT_EQ(Run({}, "dfu --DEVICE SN-1 -p 1000 " + program_ + "\n"), 1);
  EXPECT_TRUE(bus.device(0).trace().empty());
  EXPECT_TRUE(FlashHolds(1, 0x1000, bytes_));

  EXPECT_EQ(Run({}, "dfu -w 1 --timeout 1.5 --device SN-7 -p 1000 " + program_ + "\n"), 0);
  const std::string text = out_.str();
  EXPECT_NE(text.find(">> Querying USB device connections\n>>: No connected device found!\n"), std::string::npos)
      << text;
  EXPECT_TRUE(EndsWithVerdict(text, "DFU failed!")) << text;
  EXPECT_EQ(err_.str(),
            "orvel-dfu: note: waiting for bootloader 'SN-7' (USB HID product ID 0xC081) to attach for at most 1.5 s; "
            "Ctrl+C ends the wait\n"
            "orvel-dfu: error: gave up after 1.5 s (--timeout): no bootloader 'SN-7' attached\n");
}

}  // namespace
