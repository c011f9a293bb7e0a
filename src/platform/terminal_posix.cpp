// POSIX: SIGINT and SIGTERM are taken by a thread of their own with
// sigtimedwait while the job runs.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "platform/terminal.h"

namespace platform {

namespace {

constexpr long kWatchSliceNs = 50L * 1000 * 1000;

struct StopWatch {
  std::thread thread;
  std::atomic<bool> done{false};
  sigset_t signals;
  sigset_t maskBefore;
};

StopWatch stopWatch;

bool IgnoredByProcess(int signal) {
  struct sigaction current {};
  return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The second signal ends the process by that signal, as if nothing had
// caught it (a shell then sees the usual status, 130 for Ctrl+C).
[[noreturn]] void EndBySignal(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
  _exit(128 + signal);
}

// stop: the first signal sets it, the second ends the process; count: each
// one adds to it.
void WatchStopSignals(std::atomic<bool>* stop, std::atomic<int>* count, sigset_t signals) {
  const timespec slice{0, kWatchSliceNs};
  bool taken = false;
  while (!stopWatch.done.load()) {
    const int signal = sigtimedwait(&signals, nullptr, &slice);
    if (signal <= 0 || stopWatch.done.load()) continue;
    if (count != nullptr) {
      ++*count;
      continue;
    }
    if (taken) EndBySignal(signal);
    taken = true;
    stop->store(true);
  }
}

void StartWatching(std::atomic<bool>* stop, std::atomic<int>* count) {
  ReleaseStopSignals();
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM}) {
    if (!IgnoredByProcess(signal)) sigaddset(&signals, signal);
  }
  pthread_sigmask(SIG_BLOCK, &signals, &stopWatch.maskBefore);
  stopWatch.signals = signals;
  stopWatch.done = false;
  stopWatch.thread = std::thread(WatchStopSignals, stop, count, signals);
}

}  // namespace

void CatchStopSignals(std::atomic<bool>& stop) { StartWatching(&stop, nullptr); }

void CountStopSignals(std::atomic<int>& count) { StartWatching(nullptr, &count); }

void ReleaseStopSignals() {
  if (!stopWatch.thread.joinable()) return;
  stopWatch.done = true;
  // Wakes the thread at once rather than at the end of its wait; it sees
  // that it is done before it takes the signal for a user's.
  for (const int signal : {SIGINT, SIGTERM}) {
    if (sigismember(&stopWatch.signals, signal) == 1) {
      pthread_kill(stopWatch.thread.native_handle(), signal);
      break;
    }
  }
  stopWatch.thread.join();
  pthread_sigmask(SIG_SETMASK, &stopWatch.maskBefore, nullptr);
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool ErrorIsRedrawableTerminal() {
  const char* term = std::getenv("TERM");
  return isatty(STDERR_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

}  // namespace platform
