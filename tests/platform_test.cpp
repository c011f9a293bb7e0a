// Platform layer: locale (POSIX variables, the Windows user locale), console
// encoding, GBK and wide string conversion, the clock, sleeps and tick
// differences, and the device claim (the node itself or lock files on POSIX,
// named mutexes on Windows).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

#include "other_process.h"
#include "platform/locale_names.h"
#include "platform/platform.h"
#include "platform/terminal.h"
#include "platform/ticks.h"
#include "portable.h"

namespace {

using platform::DeviceClaim;

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
  EXPECT_EQ(platform::ClaimLockFilePath("/tmp", "a/b"), "/tmp/orvel-dfu-a%2Fb.lock");
  EXPECT_EQ(platform::ClaimLockFilePath("/tmp/", "hidraw3"), "/tmp/orvel-dfu-hidraw3.lock");
}

TEST(TicksTest, DifferencesHoldAcrossTheCounterWrap) {
  struct Case {
    int32_t since;
    int32_t now;
    int32_t elapsed;
  };
  const Case cases[] = {
      {1000, 1250, 250},
      {INT32_MAX, INT32_MIN, 1},             // 24.8 days: past the largest value
      {INT32_MAX - 99, INT32_MIN + 100, 200},
      {-1, 0, 1},                            // 49.7 days: round to zero
      {-150, 50, 200},
      {3587, 3087, -500},                    // since is the later reading
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TicksBetween(c.since, c.now), c.elapsed) << c.since << " to " << c.now;
  }
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

// The file at a path is its old content or the whole new one; a write that
// fails leaves no temporary file beside it.
TEST(PlatformTest, ReplaceFileWithWritesWholeOrNothing) {
  char pattern[] = "/tmp/orvel-replace-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string file = dir + "/flash.bin";
  const std::string folder = dir + "/folder";
  std::filesystem::create_directory(folder);
#ifndef _WIN32
  const mode_t savedMask = umask(022);
#endif
  const struct {
    const char* name;
    std::string path;
    std::string bytes;
    bool written;
    std::string error;  // the system's words on POSIX
  } cases[] = {
      {"new file", file, std::string("\x00\xFF\x1A", 3), true, ""},
      {"replaced whole", file, std::string(5000, 'x'), true, ""},
      {"missing folder", dir + "/none/flash.bin", "abc", false, "No such file or directory"},
      {"a folder stands there", folder, "abc", false, "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::WriteRefusal refusal;
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(platform::ReplaceFileWith(c.path, bytes, c.bytes.size(), refusal), c.written);
    const std::string& error = refusal.systemError;
#ifndef _WIN32
    EXPECT_EQ(error, c.error);
#endif
    EXPECT_EQ(error.empty(), c.written);
    if (c.written) {
      EXPECT_EQ(ReadWholeFile(c.path), c.bytes);
    }
    // Nothing but the file and the folder: no temporary file is left.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"flash.bin", "folder"}));
  }
  EXPECT_EQ(ReadWholeFile(file), std::string(5000, 'x'));
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);  // as any new file under umask 022
  umask(savedMask);
#endif
  std::filesystem::remove_all(dir);
}

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// What stands at a path stays what it is: a replaced file keeps its mode
// (and owner, for root), a symbolic link stays and its target gets the
// bytes, and a FIFO or a device is refused, untouched.
TEST(PlatformTest, ReplaceFileWithKeepsWhatStandsAtThePath) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX modes, owners, links and FIFOs";
#else
  char pattern[] = "/tmp/orvel-replace-kinds-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const mode_t savedMask = umask(022);
  const bool root = geteuid() == 0;
  const auto make = [&dir](const char* name, mode_t mode) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << "old";
    chmod(path.c_str(), mode);
    return path;
  };
  const std::string kept = make("kept.bin", 0600);
  if (root) {
    ASSERT_EQ(chown(kept.c_str(), 65534, 65534), 0);
  }
  make("target.bin", 0640);
  ASSERT_EQ(symlink("target.bin", (dir + "/link.bin").c_str()), 0);
  ASSERT_EQ(symlink("link.bin", (dir + "/chain.bin").c_str()), 0);
  ASSERT_EQ(symlink("made.bin", (dir + "/dangling.bin").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/null", (dir + "/null").c_str()), 0);
  using platform::FileKind;
  const struct {
    const char* name;
    const char* path;
    bool written;
    FileKind refused;      // the kind named when refused
    const char* receiver;  // the regular file that gets the bytes
    mode_t mode;           // the receiver's afterwards
    mode_t standing;       // the type of what stands at path afterwards
  } cases[] = {
      {"mode kept", "kept.bin", true, FileKind::Regular, "kept.bin", 0600, S_IFREG},
      {"link followed and kept", "link.bin", true, FileKind::Regular, "target.bin", 0640, S_IFLNK},
      {"chain of links", "chain.bin", true, FileKind::Regular, "target.bin", 0640, S_IFLNK},
      {"link to nothing makes its target", "dangling.bin", true, FileKind::Regular, "made.bin", 0644, S_IFLNK},
      {"FIFO refused", "fifo", false, FileKind::Fifo, nullptr, 0, S_IFIFO},
      {"device refused", "null", false, FileKind::Device, nullptr, 0, S_IFLNK},
  };
  const std::string bytes = "new content";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.path;
    platform::WriteRefusal refusal;
    EXPECT_EQ(platform::ReplaceFileWith(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), refusal),
              c.written);
    EXPECT_EQ(refusal.kind, c.refused);
    EXPECT_EQ(refusal.systemError, "");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, c.standing);
    if (c.receiver != nullptr) {
      const std::string receiver = dir + "/" + c.receiver;
      EXPECT_EQ(ReadWholeFile(receiver), bytes);
      ASSERT_EQ(stat(receiver.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
  }
  struct stat info {};
  ASSERT_EQ(stat(kept.c_str(), &info), 0);
  if (root) {
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
  }
  // No new file is left behind by a refusal or a replacement.
  EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"chain.bin", "dangling.bin", "fifo", "kept.bin", "link.bin",
                                                     "made.bin", "null", "target.bin"}));
  umask(savedMask);
  std::filesystem::remove_all(dir);
#endif
}

// A file the user may not open for writing is refused, as cp refuses it,
// even where the folder would let it be replaced. Root may write any file:
// the suite runs this test again as an unprivileged user when run as root.
TEST(PlatformTest, ReplaceFileWithRefusesAFileTheUserMayNotWrite) {
#ifndef _WIN32
  if (geteuid() == 0) GTEST_SKIP() << "root writes files whatever their mode (run again unprivileged)";
#endif
  std::string dir = TempFolderPattern("orvel-replace-protected");
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/protected.bin";
  std::ofstream(path, std::ios::binary) << "old";
#ifdef _WIN32
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
#else
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
#endif
  platform::WriteRefusal refusal;
  EXPECT_FALSE(platform::ReplaceFileWith(path, reinterpret_cast<const uint8_t*>("new"), 3, refusal));
#ifndef _WIN32
  EXPECT_EQ(refusal.systemError, "Permission denied");
#endif
  EXPECT_NE(refusal.systemError, "");
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"protected.bin"});
#ifdef _WIN32
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
  std::filesystem::remove_all(dir);
}

// The new file exists from Begin() on, beside the file it replaces, which
// stays as it was until Commit(). When SIGINT, SIGTERM or SIGHUP ends the
// process meanwhile, the new file goes with it; a signal the process ignores
// leaves it alone.
TEST(PlatformTest, ReplacementUnderWayIsRemovedWhenASignalEndsTheProcess) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals";
#else
  char pattern[] = "/tmp/orvel-replace-signal-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/flash.bin";
  std::ofstream(path, std::ios::binary) << "old";
  const struct {
    const char* name;
    int signal;
    bool ignored;  // by the process, before the replacement begins
    int ending;    // the signal that ends it
  } cases[] = {
      {"SIGINT", SIGINT, false, SIGINT},
      {"SIGTERM", SIGTERM, false, SIGTERM},
      {"SIGHUP", SIGHUP, false, SIGHUP},
      {"SIGHUP ignored, then SIGTERM", SIGHUP, true, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(channel[0]);
      if (c.ignored) signal(c.signal, SIG_IGN);
      platform::FileReplacement replacement;
      platform::WriteRefusal refusal;
      std::string temporary = replacement.Begin(path, refusal) ? replacement.temporaryPath() : "";
      temporary += '\n';
      if (write(channel[1], temporary.data(), temporary.size()) < 0) _exit(2);
      for (;;) pause();
    }
    close(channel[1]);
    std::string temporary;
    char c1 = 0;
    while (read(channel[0], &c1, 1) == 1 && c1 != '\n') temporary += c1;
    close(channel[0]);
    EXPECT_EQ(temporary.rfind(path + ".tmp-", 0), 0u) << temporary;
    EXPECT_EQ(access(temporary.c_str(), F_OK), 0) << "the new file while the replacement is under way";
    kill(child, c.signal);
    if (c.ending != c.signal) {
      // Still there a while later: the ignored signal did not end it.
      usleep(200000);
      int status = 0;
      EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "ended by " << c.name;
      kill(child, c.ending);
    }
    // A process the signal failed to end is ended here, after 5 s.
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; ended == 0 && waited < 500; ++waited) {
      ended = waitpid(child, &status, WNOHANG);
      if (ended == 0) usleep(10000);
    }
    if (ended == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.ending) << "status " << status;
    EXPECT_NE(access(temporary.c_str(), F_OK), 0) << temporary << " was left behind";
    EXPECT_EQ(ReadWholeFile(path), "old");
  }
  std::filesystem::remove_all(dir);
#endif
}

// Each test gets its own lock folder and TMPDIR, so parallel runs never meet.
class DeviceClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempFolderPattern("orvel-platform-test");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    savedFolder_ = platform::ClaimLockFolder();
    platform::SetClaimLockFolder(dir_);
    const char* tmp = std::getenv("TMPDIR");
    savedTmpdir_ = tmp != nullptr ? tmp : "";
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (auto file = created_.rbegin(); file != created_.rend(); ++file) remove(file->c_str());
    rmdir(dir_.c_str());
    platform::SetClaimLockFolder(savedFolder_);
    setenv("TMPDIR", savedTmpdir_.c_str(), 1);
  }
  // A file or folder of the test, removed afterwards.
  std::string Made(const std::string& path) {
    created_.push_back(path);
    return path;
  }
  std::string LockFile(const std::string& escapedName) {
    return Made(dir_ + "/orvel-dfu-" + escapedName + ".lock");
  }
  // A device node as the claim sees it: a file of that path.
  std::string Node(const std::string& name) {
    const std::string path = Made(dir_ + "/" + name);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    return path;
  }
  static DeviceClaim::Outcome ByName(DeviceClaim& claim, const std::string& name) {
    return claim.TryAcquire("", name);
  }

  std::string dir_;
  std::string savedFolder_;
  std::string savedTmpdir_;
  std::vector<std::string> created_;
};

TEST_F(DeviceClaimTest, SameNameIsRefusedUntilReleased) {
  DeviceClaim first;
  DeviceClaim second;
  EXPECT_EQ(ByName(first, "hidraw3"), DeviceClaim::Outcome::Acquired);
  EXPECT_TRUE(first.held());
  EXPECT_EQ(ByName(second, "hidraw3"), DeviceClaim::Outcome::HeldElsewhere);
  EXPECT_FALSE(second.held());
  first.Release();
  EXPECT_FALSE(first.held());
  EXPECT_EQ(ByName(second, "hidraw3"), DeviceClaim::Outcome::Acquired);

#ifdef _WIN32
  EXPECT_EQ(second.target(), "Global\\orvel-dfu-hidraw3");
#else
  // The file stays, and every user may open it to lock it.
  struct stat info {};
  ASSERT_EQ(stat(LockFile("hidraw3").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0444u);
  EXPECT_EQ(second.target(), dir_ + "/orvel-dfu-hidraw3.lock");
#endif
}

TEST_F(DeviceClaimTest, EscapedNamesStayDistinct) {
  DeviceClaim slash;
  DeviceClaim percent;
  DeviceClaim plain;
  EXPECT_EQ(ByName(slash, "a/b"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(ByName(percent, "a%2Fb"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(ByName(plain, "a_b"), DeviceClaim::Outcome::Acquired);
#ifndef _WIN32
  EXPECT_EQ(access(LockFile("a%2Fb").c_str(), F_OK), 0);
  EXPECT_EQ(access(LockFile("a%252Fb").c_str(), F_OK), 0);
  EXPECT_EQ(access(LockFile("a_b").c_str(), F_OK), 0);
#endif
}

TEST_F(DeviceClaimTest, TakingAnotherNameReleasesTheFirst) {
  DeviceClaim claim;
  DeviceClaim other;
  EXPECT_EQ(ByName(claim, "hidraw0"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(ByName(claim, "hidraw1"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(ByName(other, "hidraw0"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(ByName(other, "hidraw1"), DeviceClaim::Outcome::HeldElsewhere);
  LockFile("hidraw0");
  LockFile("hidraw1");
}

// A device node is locked itself: no lock file, and TMPDIR plays no part.
TEST_F(DeviceClaimTest, DeviceNodeIsLockedItselfWhateverTmpdir) {
#ifdef _WIN32
  GTEST_SKIP() << "device nodes and lock files; a Windows claim is a named mutex (ClaimHeldByAnotherProcess)";
#else
  const std::string node = Node("hidraw5");
  DeviceClaim first;
  DeviceClaim second;
  EXPECT_EQ(first.TryAcquire(node, "hidraw5"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(first.target(), node);
  setenv("TMPDIR", "/", 1);
  EXPECT_EQ(second.TryAcquire(node, "hidraw5"), DeviceClaim::Outcome::HeldElsewhere);
  EXPECT_NE(access((dir_ + "/orvel-dfu-hidraw5.lock").c_str(), F_OK), 0);
  first.Release();
  EXPECT_EQ(second.TryAcquire(node, "hidraw5"), DeviceClaim::Outcome::Acquired);

  // A path that names no file, or a relative one (which would depend on the
  // working folder), goes by its name.
  DeviceClaim missing;
  EXPECT_EQ(missing.TryAcquire(dir_ + "/no-such-node", "gone"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(missing.target(), LockFile("gone"));
  DeviceClaim relative;
  EXPECT_EQ(relative.TryAcquire("hidraw5", "rel"), DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(relative.target(), LockFile("rel"));
#endif
}

#ifndef _WIN32
struct UnusableCase {
  const char* name;
  int (*plant)(const std::string& lockFile, const std::string& other);
  DeviceClaim::Outcome outcome;
};
#endif

// What is already at a lock file's place is never changed, and used only
// when it is a regular file with one link (a hard link: hid_link_test).
TEST_F(DeviceClaimTest, WhatStandsAtALockPathIsUsedOnlyWhenItIsAPlainFile) {
#ifdef _WIN32
  GTEST_SKIP() << "lock files only; a Windows claim is a named mutex (NameTakenByAnotherKindOfObject)";
#else
  const UnusableCase cases[] = {
      {"a symbolic link", [](const std::string& at, const std::string& to) {
         return symlink(to.c_str(), at.c_str());
       }, DeviceClaim::Outcome::Unusable},
      {"a FIFO, which must not block", [](const std::string& at, const std::string&) {
         return mkfifo(at.c_str(), 0666);
       }, DeviceClaim::Outcome::Unusable},
      {"a folder", [](const std::string& at, const std::string&) {
         return mkdir(at.c_str(), 0755);
       }, DeviceClaim::Outcome::Unusable},
      {"a plain file of mode 0600", [](const std::string& at, const std::string&) {
         const int fd = ::open(at.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
         return fd >= 0 ? ::close(fd) : -1;
       }, DeviceClaim::Outcome::Acquired},
  };
  const std::string other = Node("other-file");
  for (const UnusableCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("planted-") + std::to_string(&c - cases);
    const std::string lockFile = LockFile(name);
    ASSERT_EQ(c.plant(lockFile, other), 0);
    struct stat before {};
    ASSERT_EQ(lstat(lockFile.c_str(), &before), 0);

    DeviceClaim claim;
    EXPECT_EQ(ByName(claim, name), c.outcome);
    EXPECT_EQ(claim.held(), c.outcome == DeviceClaim::Outcome::Acquired);
    struct stat after {};
    ASSERT_EQ(lstat(lockFile.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
  }
  // No folder for lock files: the device goes unguarded.
  platform::SetClaimLockFolder(dir_ + "/missing");
  DeviceClaim claim;
  EXPECT_EQ(ByName(claim, "hidraw0"), DeviceClaim::Outcome::Unavailable);
#endif
}

// A child process takes the claim and holds it until the parent closes the
// pipe; its exit must free the claim without any Release().
TEST_F(DeviceClaimTest, ClaimHeldByAnotherProcessIsRefused) {
  const std::string node = Node("hidraw7");
  for (const std::string& path : {std::string(), node}) {
    SCOPED_TRACE(path.empty() ? "by name" : "on the node");
    OtherProcess holder;
    char outcome = -1;
    ASSERT_TRUE(holder.Start(
        [&path] {
          static DeviceClaim held;
          return static_cast<char>(held.TryAcquire(path, "hidraw7"));
        },
        outcome));
    EXPECT_EQ(outcome, static_cast<char>(DeviceClaim::Outcome::Acquired));

    DeviceClaim mine;
    EXPECT_EQ(mine.TryAcquire(path, "hidraw7"), DeviceClaim::Outcome::HeldElsewhere);

    EXPECT_TRUE(holder.Finish());
    EXPECT_EQ(mine.TryAcquire(path, "hidraw7"), DeviceClaim::Outcome::Acquired);
  }
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

#ifndef _WIN32

// Runs body in a child process: its exit status, or 128 + the signal that
// ended it.
template <typename Body>
int InChild(Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// While caught, SIGINT and SIGTERM set the flag and interrupt nothing the
// catching thread does (a sleep would end early, with EINTR); a second one
// ends the process by that signal; a signal the process ignores stays
// ignored.
TEST(StopSignalsTest, FirstSetsTheFlagSecondEndsTheProcess) {
  for (const int signal : {SIGINT, SIGTERM}) {
    std::atomic<bool> stop{false};
    platform::CatchStopSignals(stop);
    std::thread sender([signal] {
      usleep(20 * 1000);
      kill(getpid(), signal);
    });
    const timespec sleep{0, 300L * 1000 * 1000};
    EXPECT_EQ(nanosleep(&sleep, nullptr), 0);
    sender.join();
    platform::ReleaseStopSignals();
    EXPECT_TRUE(stop) << signal;
  }
  const auto twice = [](bool ignored) {
    if (ignored) signal(SIGINT, SIG_IGN);
    std::atomic<bool> stop{false};
    platform::CatchStopSignals(stop);
    for (int i = 0; i < 2; ++i) {
      kill(getpid(), SIGINT);
      usleep(200 * 1000);
    }
    return stop ? 1 : 0;
  };
  EXPECT_EQ(InChild([&] { return twice(false); }), 128 + SIGINT);
  EXPECT_EQ(InChild([&] { return twice(true); }), 0);
}

#endif

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

// A name that exists as another kind of object cannot be a claim of ours,
// and is not ours to take.
TEST_F(DeviceClaimTest, NameTakenByAnotherKindOfObjectIsHeldElsewhere) {
  const std::string name = "event-" + std::to_string(TestProcessId());
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, ("Global\\orvel-dfu-" + name).c_str());
  ASSERT_NE(event, nullptr);
  DeviceClaim claim;
  EXPECT_EQ(ByName(claim, name), DeviceClaim::Outcome::HeldElsewhere);
  EXPECT_FALSE(claim.held());
  CloseHandle(event);
  EXPECT_EQ(ByName(claim, name), DeviceClaim::Outcome::Acquired);
}

#endif

}  // namespace
