// The shell's input apart from a terminal: bounded line reading, Tab
// completion at the prompt, and the history file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/shell_completion.h"
#include "common/line_reader.h"
#include "portable.h"
#include "virtual_hid_bus.h"
#ifndef _WIN32
#include "platform/history_file.h"
#endif

namespace {

namespace fs = std::filesystem;

// Every line the reader gives, as "L:text", "T" (too long) or "E" (end).
std::string ReadAll(const std::string& input, size_t limit) {
  std::istringstream stream(input);
  const auto nextByte = [&stream] { return stream.rdbuf()->sbumpc(); };
  std::string seen;
  std::string line;
  for (;;) {
    switch (ReadBoundedLine(nextByte, line, limit)) {
      case LineRead::End:
        return seen + "E";
      case LineRead::TooLong:
        seen += "T|";
        SkipRestOfLine(nextByte);
        break;
      case LineRead::Line:
        seen += "L:" + line + "|";
        break;
    }
  }
}

TEST(BoundedLineTest, KeepsAtMostTheLimit) {
  struct Case {
    std::string input;
    std::string seen;
  };
  const std::vector<Case> cases = {
      {"", "E"},
      {"\n", "L:|E"},
      {"abc\ndef", "L:abc|L:def|E"},
      {"abc\r\n\r\n", "L:abc|L:|E"},
      {"abc\r\r\n", "L:abc\r|E"},
      {"a\rb\n", "L:a\rb|E"},
      {"abcd\n", "L:abcd|E"},
      {"abcd\r\n", "L:abcd|E"},
      {"abcd\r", "L:abcd|E"},
      {"abcde\nxy\n", "T|L:xy|E"},
      {"abcd\rx\nxy", "T|L:xy|E"},
      {std::string(100000, '\0') + "\nok", "T|L:ok|E"},
      {std::string(100000, 'z'), "T|E"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadAll(c.input, 4), c.seen) << c.input.substr(0, 20);
}

// What Tab would put in place of the typed word for each candidate: a
// finished word with its space after it.
std::vector<std::string> Offered(const platform::Completion& completion) {
  std::vector<std::string> offered;
  for (const platform::CompletionCandidate& candidate : completion.candidates) {
    offered.push_back(candidate.text + (candidate.finished ? " " : ""));
  }
  return offered;
}

class CompletionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempFolderPattern("orvel-completion");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ + "/apps");
    for (const char* name : {"app.bin", "app.hex", "apps/inner.bin", ".hidden", "my app.bin", "data.bin"}) {
      std::ofstream(dir_ + "/" + name) << "x";
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
};

TEST_F(CompletionTest, CommandsOptionsValuesAndFiles) {
  const ShellCompletionSources sources{[] { return std::vector<std::string>{"1-2.1", "ORVEL-SIM-0"}; }};
  const std::string path = "dfu -p 0 " + dir_ + "/";
  const std::vector<std::string> options = {"-w ",          "-s ",         "-m ",       "-p ",
                                            "--device ",    "--device=",   "--timeout ", "--timeout=",
                                            "--quiet ",     "--strict ",   "--posix-exit ", "--progress ",
                                            "--progress="};
  struct Case {
    std::string line;
    size_t from;
    std::vector<std::string> offered;
  };
  const std::vector<Case> cases = {
      {"", 0, {"help ", "v ", "exit ", "language ", "log ", "dfu "}},
      {"he", 0, {"help "}},
      {"l", 0, {"language ", "log "}},
      {"x", 0, {}},
      {"dfu ", 4, options},
      {"dfu --d", 4, {"--device ", "--device="}},
      {"DFU --DEV", 4, {"--device ", "--device="}},
      {"dfu -w ", 7, {"0 ", "1 "}},
      {"dfu -s 2", 7, {"2 "}},
      {"dfu -p ", 7, {"FFFFFFFF "}},
      {"dfu -p 0 a.bin -p f", 18, {"FFFFFFFF "}},
      {path + "ap", path.size() - dir_.size() - 1, {dir_ + "/app.bin ", dir_ + "/app.hex ", dir_ + "/apps/"}},
      {path, path.size() - dir_.size() - 1, {dir_ + "/app.bin ", dir_ + "/app.hex ", dir_ + "/apps/", dir_ + "/data.bin "}},
      {path + ".", path.size() - dir_.size() - 1, {dir_ + "/.hidden "}},
      {path + "apps/", path.size() - dir_.size() - 1, {dir_ + "/apps/inner.bin "}},
      {path + "App", path.size() - dir_.size() - 1, {}},
      {"dfu -w 1 -p 0 x.bin --device ", 29, {"1-2.1 ", "ORVEL-SIM-0 "}},
      {"dfu --DEVICE o", 13, {"ORVEL-SIM-0 "}},
      {"dfu --device=", 4, {"--device=1-2.1 ", "--device=ORVEL-SIM-0 "}},
      {"dfu --Device=1", 4, {"--Device=1-2.1 "}},
      {"dfu --timeout=", 4, {}},
      {"dfu --timeout 5 --q", 16, {"--quiet "}},
      {"dfu --device=x -p ", 18, {"FFFFFFFF "}},
      {"dfu --read 0 -p ", 16, {"FFFFFFFF "}},  // an action at the prompt takes no values
      {"dfu --log ", 10, {}},                   // read as --log's value, as the parser reads it
      {"language ", 9, {"0 ", "1 "}},
      {"log 1 ", 6, {}},
      {" ", 1, {}},
  };
  for (const Case& c : cases) {
    const platform::Completion completion = CompleteShellLine(c.line, sources);
    EXPECT_EQ(Offered(completion), c.offered) << "'" << c.line << "'";
    EXPECT_EQ(completion.from, c.from) << "'" << c.line << "'";
  }
}

// --device at the prompt: the serial numbers of the bootloaders on the bus
// (the in-process one here, where no device has a USB location), each once,
// without a device of another product, a name with a space, or a wait.
TEST(AttachedDeviceSelectorsTest, SerialsOfTheBootloadersOnTheBus) {
  sim::VirtualHidBus& bus = sim::VirtualHidBus::Instance();
  bus.Reset();
  const struct {
    const char* path;
    const wchar_t* serial;
    uint16_t productId;
  } devices[] = {{"/dev/hidraw-a", L"SN-2", 0xC081}, {"/dev/hidraw-b", L"SN-1", 0xC081},
                 {"/dev/hidraw-c", L"SN-1", 0xC081}, {"/dev/hidraw-d", L"", 0xC081},
                 {"/dev/hidraw-e", L"SN 3", 0xC081}, {"/dev/hidraw-f", L"SN-4", 0x1234}};
  for (const auto& device : devices) {
    sim::VirtualDeviceSetup setup;
    setup.path = device.path;
    setup.serial = device.serial;
    setup.productId = device.productId;
    bus.AddDevice(setup);
  }
  EXPECT_EQ(AttachedDeviceSelectors(), (std::vector<std::string>{"SN-1", "SN-2"}));
  for (int device = 0; device < 6; ++device) EXPECT_TRUE(bus.device(device).trace().empty());
  bus.Reset();
}

#ifndef _WIN32

TEST(HistoryPathTest, FollowsTheXdgRules) {
  struct Case {
    const char* xdgStateHome;
    const char* home;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"/x/state", "/home/u", "/x/state/orvel-dfu/history"},
      {nullptr, "/home/u", "/home/u/.local/state/orvel-dfu/history"},
      {"", "/home/u", "/home/u/.local/state/orvel-dfu/history"},
      {"state", "/home/u", "/home/u/.local/state/orvel-dfu/history"},
      {nullptr, nullptr, ""},
      {nullptr, "home", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::HistoryFilePath(c.xdgStateHome, c.home), c.path)
        << (c.xdgStateHome ? c.xdgStateHome : "(unset)") << " " << (c.home ? c.home : "(unset)");
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

class HistoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempFolderPattern("orvel-history");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/state/orvel-dfu/history";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
  std::string path_;
};

// Folders the user alone may enter, a file the user alone may read, whatever
// the umask lets through.
TEST_F(HistoryFileTest, MadeForTheUserAlone) {
  const mode_t umaskBefore = umask(0);
  platform::HistoryFile history(path_, 10, 64);
  Reasons why;
  history.Load(&why);
  EXPECT_TRUE(history.Add("v", &why));
  umask(umaskBefore);
  EXPECT_TRUE(why.empty());
  EXPECT_EQ(ModeOf(dir_ + "/state"), 0700u);
  EXPECT_EQ(ModeOf(dir_ + "/state/orvel-dfu"), 0700u);
  EXPECT_EQ(ModeOf(path_), 0600u);
  EXPECT_EQ(ReadWholeFile(path_), "v\n");
}

TEST_F(HistoryFileTest, KeepsTheNewestLinesAcrossSessions) {
  Reasons why;
  {
    platform::HistoryFile history(path_, 3, 64);
    history.Load(&why);
    for (const char* line : {"a", "", "b", "b", "c", "d"}) history.Add(line, &why);
    EXPECT_EQ(history.lines(), (std::deque<std::string>{"b", "c", "d"}));
    EXPECT_EQ(ReadWholeFile(path_), "a\nb\nc\nd\n");
  }
  // A session starts with the newest lines and cuts the file back to them;
  // lines no session writes (too long, a NUL) are passed over.
  std::ofstream(path_, std::ios::app) << std::string(65, 'x') << "\ne\n" << std::string("f\0g\n", 4);
  platform::HistoryFile next(path_, 3, 64);
  next.Load(&why);
  EXPECT_EQ(next.lines(), (std::deque<std::string>{"c", "d", "e"}));
  EXPECT_EQ(ReadWholeFile(path_), "c\nd\ne\n");
  // Appended lines grow the file to twice the limit before it is cut back.
  for (const char* line : {"f", "g", "h"}) next.Add(line, &why);
  EXPECT_EQ(ReadWholeFile(path_), "c\nd\ne\nf\ng\nh\n");
  next.Add("i", &why);
  EXPECT_EQ(ReadWholeFile(path_), "g\nh\ni\n");
  EXPECT_TRUE(why.empty());
}

// A history that cannot be kept says so once and never stops the shell: the
// lines are still kept for the session.
TEST_F(HistoryFileTest, NoteOnceWhenItCannotBeWritten) {
  std::ofstream(dir_ + "/state") << "a file where the folder would be";
  platform::HistoryFile blocked(path_, 10, 64);
  Reasons why;
  blocked.Load(&why);
  EXPECT_TRUE(blocked.Add("v", &why));
  EXPECT_TRUE(blocked.Add("help", &why));
  ASSERT_EQ(why.size(), 1u);
  EXPECT_EQ(why[0].severity, Severity::Note);
  EXPECT_EQ(FillReasonTemplate(why[0].english, why[0].args),
            "the shell's history is not kept: " + dir_ + "/state/orvel-dfu: Not a directory");
  EXPECT_EQ(blocked.lines(), (std::deque<std::string>{"v", "help"}));

  // Gone after the session started: the first line that cannot be appended.
  fs::remove(dir_ + "/state");
  platform::HistoryFile lost(path_, 10, 64);
  why.clear();
  lost.Load(&why);
  fs::remove_all(dir_ + "/state");
  std::ofstream(dir_ + "/state") << "again";
  lost.Add("v", &why);
  lost.Add("help", &why);
  ASSERT_EQ(why.size(), 1u);
  EXPECT_EQ(why[0].args[0], path_);

  // Something that is no regular file is never read.
  fs::remove(dir_ + "/state");
  fs::create_directories(path_);
  platform::HistoryFile folder(path_, 10, 64);
  why.clear();
  folder.Load(&why);
  ASSERT_EQ(why.size(), 1u);
  EXPECT_EQ(FillReasonTemplate(why[0].english, why[0].args),
            "the shell's history is not kept: " + path_ + " is no regular file");
}

#endif

}  // namespace
