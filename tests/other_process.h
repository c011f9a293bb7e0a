// Another running process, for claims and locks that must hold across
// processes: the other process runs one step, reports a byte, and stays alive
// (holding whatever the step took) until Finish() lets it exit.
//
// POSIX forks. Windows cannot, so there the test program starts itself again,
// running only the current test with a channel named in the environment; that
// copy runs the test body up to Start(), runs the step there, answers through
// the channel and never returns.
#pragma once

#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace other_process {

constexpr const char* kChannelVariable = "ORVEL_TEST_OTHER_PROCESS";

// The channel of a process started by OtherProcess: its parent's id, then
// the handles to answer on and to wait on. Empty in the parent.
struct Channel {
  unsigned long parentId = 0;
  HANDLE answer = nullptr;
  HANDLE wait = nullptr;
};

inline Channel ChannelFromEnvironment() {
  Channel channel;
  const char* text = std::getenv(kChannelVariable);
  unsigned long long answer = 0;
  unsigned long long wait = 0;
  if (text != nullptr && std::sscanf(text, "%lu:%llu:%llu", &channel.parentId, &answer, &wait) == 3) {
    channel.answer = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(answer));
    channel.wait = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wait));
  }
  return channel;
}

}  // namespace other_process

// The id of the test process; in the copy that OtherProcess starts, its
// parent's, so that names made from it are the same in both.
inline unsigned long TestProcessId() {
  const other_process::Channel channel = other_process::ChannelFromEnvironment();
  return channel.parentId != 0 ? channel.parentId : GetCurrentProcessId();
}

#else

inline unsigned long TestProcessId() { return static_cast<unsigned long>(getpid()); }

#endif

class OtherProcess {
 public:
  OtherProcess() = default;
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  ~OtherProcess() { Finish(); }

#ifdef _WIN32
  // Runs step() in the other process; its result comes back in answer. False
  // when the process could not be started or did not answer.
  template <typename Step>
  bool Start(Step step, char& answer) {
    const other_process::Channel channel = other_process::ChannelFromEnvironment();
    if (channel.answer != nullptr) RunStepAndWait(step(), channel);
    HANDLE answerRead = nullptr;
    HANDLE answerWrite = nullptr;
    HANDLE waitRead = nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&answerRead, &answerWrite, &inheritable, 0)) return false;
    if (!CreatePipe(&waitRead, &waitWrite_, &inheritable, 0)) return false;
    SetHandleInformation(answerRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(waitWrite_, HANDLE_FLAG_INHERIT, 0);
    const bool started = StartCopy(answerWrite, waitRead);
    CloseHandle(answerWrite);
    CloseHandle(waitRead);
    DWORD got = 0;
    const bool answered = started && ReadFile(answerRead, &answer, 1, &got, nullptr) && got == 1;
    CloseHandle(answerRead);
    return answered;
  }

  // Lets the other process exit and waits for it. True when it exited with status 0.
  bool Finish() {
    if (waitWrite_ != nullptr) CloseHandle(waitWrite_);
    waitWrite_ = nullptr;
    if (process_ == nullptr) return false;
    DWORD status = 1;
    const bool waited = WaitForSingleObject(process_, INFINITE) == WAIT_OBJECT_0 &&
                        GetExitCodeProcess(process_, &status);
    CloseHandle(process_);
    process_ = nullptr;
    return waited && status == 0;
  }

 private:
  [[noreturn]] static void RunStepAndWait(char result, const other_process::Channel& channel) {
    DWORD written = 0;
    if (!WriteFile(channel.answer, &result, 1, &written, nullptr) || written != 1) _exit(2);
    char ignored;
    DWORD got = 0;
    while (ReadFile(channel.wait, &ignored, 1, &got, nullptr) && got > 0) {
    }
    _exit(0);  // no cleanup: what the step took goes with the process
  }

  // This program again, running only the current test, its output discarded.
  bool StartCopy(HANDLE answerWrite, HANDLE waitRead) {
    char exe[MAX_PATH];
    if (GetModuleFileNameA(nullptr, exe, MAX_PATH) == 0) return false;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string commandLine = std::string("\"") + exe + "\" --gtest_filter=" + test->test_suite_name() + "." +
                              test->name();
    const std::string channel = std::to_string(GetCurrentProcessId()) + ":" +
                                std::to_string(reinterpret_cast<uintptr_t>(answerWrite)) + ":" +
                                std::to_string(reinterpret_cast<uintptr_t>(waitRead));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE discard = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = discard;
    startup.hStdError = discard;
    PROCESS_INFORMATION info{};
    SetEnvironmentVariableA(other_process::kChannelVariable, channel.c_str());
    const bool started = CreateProcessA(exe, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &info) != 0;
    SetEnvironmentVariableA(other_process::kChannelVariable, nullptr);
    if (discard != INVALID_HANDLE_VALUE) CloseHandle(discard);
    if (!started) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return true;
  }

  HANDLE process_ = nullptr;
  HANDLE waitWrite_ = nullptr;
#else
  // Runs step() in the child; its result comes back in answer. False when the
  // child could not be started or did not answer.
  template <typename Step>
  bool Start(Step step, char& answer) {
    int toParent[2];
    if (pipe(toParent) != 0) return false;
    if (pipe(toChild_) != 0) return false;
    child_ = fork();
    if (child_ < 0) return false;
    if (child_ == 0) {
      close(toParent[0]);
      close(toChild_[1]);
      const char result = step();
      if (write(toParent[1], &result, 1) != 1) _exit(2);
      char ignored;
      while (read(toChild_[0], &ignored, 1) > 0) {
      }
      _exit(0);  // no cleanup: what the step took goes with the process
    }
    close(toParent[1]);
    close(toChild_[0]);
    const bool answered = read(toParent[0], &answer, 1) == 1;
    close(toParent[0]);
    return answered;
  }

  // Lets the child exit and waits for it. True when it exited with status 0.
  bool Finish() {
    if (child_ <= 0) return false;
    close(toChild_[1]);
    int status = 0;
    const bool waited = waitpid(child_, &status, 0) == child_;
    child_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t child_ = -1;
  int toChild_[2] = {-1, -1};
#endif
};
