// Platform layer: locale (POSIX variables, the Windows user locale), console
// encoding, GBK and wide string conversion, the clock and sleeps, and the
// inter-process device lock (lock files on POSIX, named mutexes on Windows).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "other_process.h"
#include "platform/locale_names.h"
#include "platform/platform.h"
#include "portable.h"

namespace {

using platform::NamedLock;

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

void SetOrUnset(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

TEST(LocaleNamesTest, LanguageAndUiNameFromLocaleValues) {
  struct Case {
    const char* languageList;
    const char* locale;
    const char* iso639;
    const char* uiName;
  };
  const std::vector<Case> cases = {
      {"", "zh_CN.UTF-8", "zh", "zh-CN"},
      {"", "zh_TW.UTF-8", "zh", "zh-TW"},
      {"", "en_US.UTF-8", "en", "en-US"},
      {"", "zh", "zh", "zh"},
      {"", "C", "en", "en"},
      {"", "POSIX", "en", "en"},
      {"", "C.UTF-8", "en", "en"},
      {"", "", "en", "en"},
      {"zh_CN:en_US", "zh_CN.GBK", "zh", "zh-CN"},
      {"en_GB:zh_CN", "zh_CN.UTF-8", "zh", "en-GB"},
      {"zh_TW", "zh_CN.UTF-8", "zh", "zh-TW"},
      {":zh_TW", "zh_CN.UTF-8", "zh", "zh-CN"},
      {"C", "zh_CN.UTF-8", "zh", "en"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::Iso639FromLocale(c.locale), c.iso639) << c.locale;
    EXPECT_EQ(platform::UiLocaleNameFrom(c.languageList, c.locale), c.uiName)
        << c.languageList << " / " << c.locale;
  }
  EXPECT_EQ(platform::FirstNonEmpty(nullptr, "", "zh_CN.UTF-8"), "zh_CN.UTF-8");
  EXPECT_EQ(platform::FirstNonEmpty("C", "de_DE", nullptr), "C");
  EXPECT_EQ(platform::FirstNonEmpty(nullptr, nullptr, ""), "");
}

TEST(LocaleNamesTest, GbkCodesets) {
  struct Case {
    const char* locale;
    bool gbk;
  };
  const std::vector<Case> cases = {
      {"zh_CN.GBK", true},        {"zh_CN.gbk", true},         {"zh_CN.GB2312", true},
      {"zh_CN.gb18030", true},    {"zh_CN.GB-18030", true},    {"zh_CN.GBK@mod", true},
      {"zh_CN.UTF-8", false},     {"zh_CN", false},            {"GBK", false},
      {"zh_CN.GBKX", false},      {"zh_TW.Big5", false},       {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::IsGbkCodeset(c.locale), c.gbk) << c.locale;
}

TEST(LocaleNamesTest, LockNamesEscapeEverythingButPortableBytes) {
  EXPECT_EQ(platform::EscapeLockName("hidraw3"), "hidraw3");
  EXPECT_EQ(platform::EscapeLockName("a-b_c.D9"), "a-b_c.D9");
  EXPECT_EQ(platform::EscapeLockName("a/b"), "a%2Fb");
  EXPECT_EQ(platform::EscapeLockName("a%2Fb"), "a%252Fb");
  EXPECT_EQ(platform::EscapeLockName("hid#vid_1234&col02"), "hid%23vid_1234%26col02");
  EXPECT_EQ(platform::EscapeLockName("\xE4 "), "%E4%20");
  EXPECT_NE(platform::EscapeLockName("a/b"), platform::EscapeLockName("a%2Fb"));
}

TEST(PlatformTest, LocaleQueriesReadTheEnvironment) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX locale variables; Windows reads the user locale (WindowsPlatformTest)";
#endif
  struct Case {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* language;
    const char* iso639;
    const char* uiName;
  };
  const std::vector<Case> cases = {
      {nullptr, nullptr, "zh_CN.UTF-8", nullptr, "zh", "zh-CN"},
      {nullptr, nullptr, "zh_TW.UTF-8", nullptr, "zh", "zh-TW"},
      {nullptr, nullptr, "en_US.UTF-8", nullptr, "en", "en-US"},
      {"", "", "zh_CN.GBK", "", "zh", "zh-CN"},
      {"C", nullptr, "zh_CN.UTF-8", nullptr, "en", "en"},
      {nullptr, "zh_CN.UTF-8", "en_US.UTF-8", nullptr, "zh", "zh-CN"},
      {nullptr, nullptr, nullptr, nullptr, "en", "en"},
      {nullptr, nullptr, "zh_CN.UTF-8", "zh_TW:zh_CN", "zh", "zh-TW"},
  };
  for (const Case& c : cases) {
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LC_MESSAGES", c.lcMessages);
    SetOrUnset("LANG", c.lang);
    SetOrUnset("LANGUAGE", c.language);
    std::string iso639 = "?";
    std::string uiName = "?";
    EXPECT_TRUE(platform::QueryLocaleLanguage(iso639));
    EXPECT_TRUE(platform::QueryUiLocaleName(uiName));
    EXPECT_EQ(iso639, c.iso639) << (c.lang ? c.lang : "(no LANG)");
    EXPECT_EQ(uiName, c.uiName) << (c.lang ? c.lang : "(no LANG)");
  }
}

TEST(PlatformTest, ConsoleEncodingFromCharacterTypeLocale) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX locale variables; Windows reads the console's code page (WindowsPlatformTest)";
#endif
  struct Case {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    bool gbk;
  };
  const std::vector<Case> cases = {
      {nullptr, nullptr, "zh_CN.GBK", true},
      {nullptr, nullptr, "zh_CN.UTF-8", false},
      {nullptr, "zh_CN.GB18030", "en_US.UTF-8", true},
      {"en_US.UTF-8", "zh_CN.GBK", "zh_CN.GBK", false},
      {"", "", "zh_CN.gb2312", true},
      {nullptr, nullptr, nullptr, false},
  };
  for (const Case& c : cases) {
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LC_CTYPE", c.lcCtype);
    SetOrUnset("LANG", c.lang);
    EXPECT_EQ(platform::ConsoleUsesGbk(), c.gbk) << (c.lang ? c.lang : "(no LANG)");
  }
}

TEST(PlatformTest, Utf8ToGbkConvertsAndMarksWhatGbkLacks) {
  EXPECT_EQ(platform::Utf8ToGbk("支持命令: "), Bytes({0xD6, 0xA7, 0xB3, 0xD6, 0xC3, 0xFC, 0xC1, 0xEE, 0x3A, 0x20}));
  EXPECT_EQ(platform::Utf8ToGbk("DFU 失败！"), Bytes({'D', 'F', 'U', ' ', 0xCA, 0xA7, 0xB0, 0xDC, 0xA3, 0xA1}));
  EXPECT_EQ(platform::Utf8ToGbk("plain"), "plain");
  EXPECT_EQ(platform::Utf8ToGbk(""), "");
  EXPECT_EQ(platform::Utf8ToGbk("a\xF0\x9F\x98\x80" "b"), "a?b");  // an emoji
  EXPECT_EQ(platform::Utf8ToGbk("a\xFF" "b"), "a?b");              // no UTF-8 at all
  EXPECT_EQ(platform::Utf8ToGbk("a\xE4\xB8"), "a?");               // cut off
  // Long enough to need more than one pass of the converter's buffer.
  std::string longText;
  std::string longExpected;
  for (int i = 0; i < 300; ++i) {
    longText += "令";
    longExpected += Bytes({0xC1, 0xEE});
  }
  EXPECT_EQ(platform::Utf8ToGbk(longText), longExpected);
}

TEST(PlatformTest, WideToUtf8) {
  EXPECT_EQ(platform::WideToUtf8(nullptr), "");
  EXPECT_EQ(platform::WideToUtf8(L""), "");
  EXPECT_EQ(platform::WideToUtf8(L"ROM Bootloader"), "ROM Bootloader");
  EXPECT_EQ(platform::WideToUtf8(L"\u00E9\u4E2D"), "\xC3\xA9\xE4\xB8\xAD");
#ifndef _WIN32  // wchar_t holds UTF-32 here, UTF-16 on Windows (WindowsPlatformTest)
  const wchar_t astral[] = {static_cast<wchar_t>(0x1F600), 0};
  EXPECT_EQ(platform::WideToUtf8(astral), "\xF0\x9F\x98\x80");
  const wchar_t invalid[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(platform::WideToUtf8(invalid), "\xEF\xBF\xBD\xEF\xBF\xBD");
#endif
}

// Each test gets its own lock directory, so parallel runs never meet.
class NamedLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempFolderPattern("orvel-platform-test");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (const std::string& file : created_) unlink(file.c_str());
    rmdir(dir_.c_str());
    unsetenv("TMPDIR");
  }
  std::string LockFile(const std::string& escapedName) {
    const std::string path = dir_ + "/orvel-dfu-" + escapedName + ".lock";
    created_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(NamedLockTest, SameNameIsRefusedUntilReleased) {
  NamedLock first;
  NamedLock second;
  EXPECT_EQ(first.TryAcquire("hidraw3"), NamedLock::Outcome::Acquired);
  EXPECT_TRUE(first.held());
  EXPECT_EQ(second.TryAcquire("hidraw3"), NamedLock::Outcome::HeldElsewhere);
  EXPECT_FALSE(second.held());
  first.Release();
  EXPECT_FALSE(first.held());
  EXPECT_EQ(second.TryAcquire("hidraw3"), NamedLock::Outcome::Acquired);

#ifndef _WIN32
  // The file stays and anyone may open it.
  struct stat info {};
  ASSERT_EQ(stat(LockFile("hidraw3").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
#endif
}

TEST_F(NamedLockTest, EscapedNamesStayDistinct) {
  NamedLock slash;
  NamedLock percent;
  NamedLock plain;
  EXPECT_EQ(slash.TryAcquire("a/b"), NamedLock::Outcome::Acquired);
  EXPECT_EQ(percent.TryAcquire("a%2Fb"), NamedLock::Outcome::Acquired);
  EXPECT_EQ(plain.TryAcquire("a_b"), NamedLock::Outcome::Acquired);
#ifndef _WIN32
  EXPECT_EQ(access(LockFile("a%2Fb").c_str(), F_OK), 0);
  EXPECT_EQ(access(LockFile("a%252Fb").c_str(), F_OK), 0);
  EXPECT_EQ(access(LockFile("a_b").c_str(), F_OK), 0);
#endif
}

TEST_F(NamedLockTest, TakingAnotherNameReleasesTheFirst) {
  NamedLock lock;
  NamedLock other;
  EXPECT_EQ(lock.TryAcquire("hidraw0"), NamedLock::Outcome::Acquired);
  EXPECT_EQ(lock.TryAcquire("hidraw1"), NamedLock::Outcome::Acquired);
  EXPECT_EQ(other.TryAcquire("hidraw0"), NamedLock::Outcome::Acquired);
  EXPECT_EQ(other.TryAcquire("hidraw1"), NamedLock::Outcome::HeldElsewhere);
  LockFile("hidraw0");
  LockFile("hidraw1");
}

TEST_F(NamedLockTest, OtherFailuresAreUnavailable) {
#ifdef _WIN32
  GTEST_SKIP() << "lock files only; a Windows lock is a named mutex (NameTakenByAnotherKindOfObject)";
#else
  // A symbolic link where the lock file belongs is not followed.
  const std::string link = LockFile("linked");
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  NamedLock lock;
  EXPECT_EQ(lock.TryAcquire("linked"), NamedLock::Outcome::Unavailable);
  EXPECT_FALSE(lock.held());

  setenv("TMPDIR", (dir_ + "/missing").c_str(), 1);
  EXPECT_EQ(lock.TryAcquire("hidraw0"), NamedLock::Outcome::Unavailable);
#endif
}

// A child process takes the lock and holds it until the parent closes the
// pipe; its exit must free the lock without any Release().
TEST_F(NamedLockTest, LockHeldByAnotherProcessIsRefused) {
  OtherProcess holder;
  char outcome = -1;
  ASSERT_TRUE(holder.Start(
      [] {
        static NamedLock held;
        return static_cast<char>(held.TryAcquire("hidraw7"));
      },
      outcome));
  EXPECT_EQ(outcome, static_cast<char>(NamedLock::Outcome::Acquired));

  NamedLock mine;
  EXPECT_EQ(mine.TryAcquire("hidraw7"), NamedLock::Outcome::HeldElsewhere);

  EXPECT_TRUE(holder.Finish());
  EXPECT_EQ(mine.TryAcquire("hidraw7"), NamedLock::Outcome::Acquired);
  LockFile("hidraw7");
}

// Sleeps last at least their time on a steady clock and on the tool's own
// millisecond clock.
TEST(PlatformTest, SleepsLastAtLeastTheirTime) {
  for (const int32_t ms : {-5, 0, 1, 30}) {
    const auto steadyStart = std::chrono::steady_clock::now();
    const int64_t start = platform::MonotonicMs();
    platform::SleepMs(ms);
    const int64_t elapsed = platform::MonotonicMs() - start;
    const auto steadyElapsed = std::chrono::steady_clock::now() - steadyStart;
    EXPECT_GE(steadyElapsed, std::chrono::milliseconds(std::max(ms, 0))) << ms;
    EXPECT_GE(elapsed, std::max(ms, 0)) << ms;
  }
}

#ifdef _WIN32

// The locale the tests run under is named in ORVEL_TEST_USER_LOCALE; the
// Windows build runs this test under Wine once per row's locale.
TEST(WindowsPlatformTest, UserLocaleGivesLanguageAndUiName) {
  struct Case {
    const char* userLocale;
    const char* iso639;
    const char* uiName;
  };
  const std::vector<Case> cases = {
      {"en-US", "en", "en-US"},
      {"zh-CN", "zh", "zh-CN"},
      {"zh-TW", "zh", "zh-TW"},
  };
  const std::string declared = DeclaredUserLocale();
  const auto row = std::find_if(cases.begin(), cases.end(),
                                [&](const Case& c) { return declared == c.userLocale; });
  if (row == cases.end()) GTEST_SKIP() << kUserLocaleUnnamed << " (got '" << declared << "')";
  std::string iso639;
  std::string uiName;
  EXPECT_TRUE(platform::QueryLocaleLanguage(iso639));
  EXPECT_TRUE(platform::QueryUiLocaleName(uiName));
  EXPECT_EQ(iso639, row->iso639);
  EXPECT_EQ(uiName, row->uiName);
}

TEST(WindowsPlatformTest, ConsoleCodePageChoosesGbk) {
  struct Case {
    UINT codePage;
    bool gbk;
  };
  const std::vector<Case> cases = {{936, true}, {65001, false}, {437, false}, {54936, false}};
  const UINT original = GetConsoleOutputCP();
  if (original == 0) {
    EXPECT_FALSE(platform::ConsoleUsesGbk());
    GTEST_SKIP() << "no console: output is not a console here (AppProcessTest runs the tool in one)";
  }
  if (!SetConsoleOutputCP(936) || GetConsoleOutputCP() != 936) {
    GTEST_SKIP() << "this console keeps its output code page (Wine's does); AppProcessTest covers code page 936";
  }
  for (const Case& c : cases) {
    ASSERT_TRUE(SetConsoleOutputCP(c.codePage)) << c.codePage;
    EXPECT_EQ(platform::ConsoleUsesGbk(), c.gbk) << c.codePage;
  }
  SetConsoleOutputCP(original);
}

TEST(WindowsPlatformTest, Utf8ToGbkGoesThroughCodePage936) {
  EXPECT_EQ(platform::Utf8ToGbk("：参数错误！"),
            Bytes({0xA3, 0xBA, 0xB2, 0xCE, 0xCA, 0xFD, 0xB4, 0xED, 0xCE, 0xF3, 0xA3, 0xA1}));
  EXPECT_EQ(platform::WideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");  // a surrogate pair in UTF-16
}

// A name that exists as another kind of object cannot be a lock of ours, and
// is not ours to take.
TEST_F(NamedLockTest, NameTakenByAnotherKindOfObjectIsHeldElsewhere) {
  const std::string name = "event-" + std::to_string(TestProcessId());
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, ("Global\\orvel-dfu-" + name).c_str());
  ASSERT_NE(event, nullptr);
  NamedLock lock;
  EXPECT_EQ(lock.TryAcquire(name), NamedLock::Outcome::HeldElsewhere);
  EXPECT_FALSE(lock.held());
  CloseHandle(event);
  EXPECT_EQ(lock.TryAcquire(name), NamedLock::Outcome::Acquired);
}

#endif

}  // namespace
