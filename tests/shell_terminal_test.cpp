// The shell at a terminal as a person uses it: the built orvel-dfu on a
// pseudo-terminal, keys typed, the screen read. Built where the shell edits
// lines (libedit).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app_help_text.h"
#include "portable.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(10);

// The tool on a terminal of its own, English, with its state folder given.
class TerminalSession {
 public:
  explicit TerminalSession(const std::string& stateHome) {
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 100;
    child_ = forkpty(&terminal_, nullptr, nullptr, &size);
    if (child_ == 0) {
      const std::string state = "XDG_STATE_HOME=" + stateHome;
      const std::string home = "HOME=" + stateHome;
      const char* env[] = {"TERM=xterm", "LANG=C.UTF-8", state.c_str(), home.c_str(), nullptr};
      const char* argv[] = {ORVEL_DFU_EXE, nullptr};
      execve(argv[0], const_cast<char**>(argv), const_cast<char**>(env));
      _exit(127);
    }
  }
  ~TerminalSession() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (terminal_ >= 0) close(terminal_);
  }
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  bool started() const { return child_ > 0 && terminal_ >= 0; }
  const std::string& screen() const { return screen_; }

  void Type(const std::string& keys) { ASSERT_EQ(write(terminal_, keys.data(), keys.size()), ssize_t(keys.size())); }

  // True once text shows after what the last wait found.
  bool WaitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const size_t at = screen_.find(text, seen_);
      if (at != std::string::npos) {
        seen_ = at + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline || !ReadSome()) return false;
    }
  }

  // The exit status once the tool has ended; -1 if it does not end in time.
  int Finish() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(child_, &status, WNOHANG) == child_) {
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ReadSome();
    }
    return -1;
  }

 private:
  bool ReadSome() {
    pollfd ready{terminal_, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) return true;
    char bytes[4096];
    const ssize_t got = read(terminal_, bytes, sizeof bytes);
    if (got <= 0) return false;  // the tool has closed the terminal
    screen_.append(bytes, static_cast<size_t>(got));
    return true;
  }

  pid_t child_ = -1;
  int terminal_ = -1;
  std::string screen_;
  size_t seen_ = 0;
};

// The terminal turns each line end into "\r\n".
std::string OnScreen(std::string text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, "\r");
  return text;
}

TEST(ShellTerminalTest, EditsRecallsCompletesAndAbandons) {
  std::string state = TempFolderPattern("orvel-terminal");
  ASSERT_NE(mkdtemp(state.data()), nullptr);
  const std::string history = state + "/orvel-dfu/history";
  const std::string version = OnScreen(app_test::kVersionLine);
  {
    TerminalSession session(state);
    ASSERT_TRUE(session.started());
    ASSERT_TRUE(session.WaitFor(OnScreen(std::string(app_test::kVersionLine) + app_test::kEnglishHelp) + ">> "));
    EXPECT_EQ(session.screen().rfind(version, 0), 0u) << "nothing before the banner";
    session.Type("v\r");
    EXPECT_TRUE(session.WaitFor(version + ">> "));
    session.Type("\x1b[A\r");  // up-arrow: the line before
    EXPECT_TRUE(session.WaitFor(version + ">> "));
    session.Type("he\t\r");  // Tab: "help "
    EXPECT_TRUE(session.WaitFor(OnScreen(app_test::kEnglishHelp) + ">> "));
    session.Type("hel");
    EXPECT_TRUE(session.WaitFor("hel"));
    session.Type("\x03");  // Ctrl+C
    EXPECT_TRUE(session.WaitFor("^C\r\n>> "));
    session.Type("\x03");
    EXPECT_TRUE(session.WaitFor("^C\r\n>> "));
    session.Type("v\r");
    EXPECT_TRUE(session.WaitFor(version + ">> "));
    session.Type("exit\r");
    EXPECT_EQ(session.Finish(), 0) << session.screen();
  }
  EXPECT_EQ(ReadWholeFile(history), "v\nhelp \nv\nexit\n");
  struct stat status {};
  ASSERT_EQ(stat(history.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // The next session recalls the lines of the last one; Ctrl+D leaves.
  TerminalSession next(state);
  ASSERT_TRUE(next.WaitFor("=\r\n>> "));
  next.Type("\x1b[A\x1b[A\r");
  EXPECT_TRUE(next.WaitFor(version + ">> "));
  next.Type("\x04");
  EXPECT_EQ(next.Finish(), 0) << next.screen();
  EXPECT_EQ(ReadWholeFile(history), "v\nhelp \nv\nexit\nv\n");
  std::filesystem::remove_all(state);
}

}  // namespace
