#include "child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvel_sim {

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// umockdev's preload library yields with usleep(0) after every read and write
// on an emulated node; with the default 50 us slack that sleep lasts about
// 60 us, with 1 ns about 10 us, and it happens twice per exchange. The
// command library turns those calls into sched_yield(); the slack still
// counts when that library is missing.
constexpr unsigned long kCommandTimerSlackNs = 1;

bool HasName(const std::string& entry, const std::string& name) {
  return entry.compare(0, name.size() + 1, name + "=") == 0;
}

// An environment entry's value, or "" when it is not set.
std::string ValueOf(const std::vector<std::string>& environment, const std::string& name) {
  for (const std::string& entry : environment) {
    if (HasName(entry, name)) return entry.substr(name.size() + 1);
  }
  return "";
}

void SetValue(std::vector<std::string>& environment, const std::string& name,
              const std::string& value) {
  for (std::string& entry : environment) {
    if (HasName(entry, name)) {
      entry = name + "=" + value;
      return;
    }
  }
  environment.push_back(name + "=" + value);
}

// The command starts as from a shell: every signal at its default action and
// none blocked. GLib ignores SIGPIPE in orvel-sim, and an inherited SIG_IGN
// would hide from the command's tests that a closed pipe kills it.
void ResetSignals(posix_spawnattr_t& attributes) {
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

}  // namespace

std::vector<std::string> ChildEnvironment(char** inherited, const std::string& testbedDir) {
  std::vector<std::string> environment;
  for (char** entry = inherited; entry && *entry; ++entry) environment.emplace_back(*entry);
  const std::string preload = ValueOf(environment, "LD_PRELOAD");
  SetValue(environment, "LD_PRELOAD",
           preload.empty() ? kPreloadLibrary : std::string(kPreloadLibrary) + ":" + preload);
  SetValue(environment, "UMOCKDEV_DIR", testbedDir);
  // A sanitizer runtime would refuse to start behind the preload library.
  const std::string asan = ValueOf(environment, "ASAN_OPTIONS");
  if (asan.find("verify_asan_link_order") == std::string::npos) {
    SetValue(environment, "ASAN_OPTIONS",
             asan.empty() ? "verify_asan_link_order=0" : asan + ":verify_asan_link_order=0");
  }
  return environment;
}

std::string CommandLibrary(const std::string& library) {
  const std::string name = "liborvel_sim_" + library + ".so";
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    const std::string path(self, static_cast<size_t>(length));
    const std::string beside = path.substr(0, path.rfind('/') + 1) + name;
    if (access(beside.c_str(), R_OK) == 0) return beside;
  }
  const std::string installed = std::string(ORVEL_SIM_LIBRARY_DIR) + "/" + name;
  return access(installed.c_str(), R_OK) == 0 ? installed : "";
}

void PreloadFirst(std::vector<std::string>& environment, const std::string& library) {
  SetValue(environment, "LD_PRELOAD", library + ":" + ValueOf(environment, "LD_PRELOAD"));
}

void RefuseAccess(std::vector<std::string>& environment, const std::string& library,
                  const std::vector<std::string>& nodes) {
  std::string list;
  for (const std::string& node : nodes) list += (list.empty() ? "" : ":") + node;
  SetValue(environment, "ORVEL_SIM_NO_ACCESS", list);
  PreloadFirst(environment, library);
}

pid_t StartChild(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                 int& failureStatus, std::string& error) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t child = -1;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  ResetSignals(attributes);
  // The child inherits the timer slack of the thread that starts it.
  const int slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, kCommandTimerSlackNs);
  const int failure = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), envp.data());
  if (slack > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack));
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) {
    failureStatus = failure == ENOENT ? 127 : 126;
    error = "cannot run '" + command[0] + "': " + std::strerror(failure);
    return -1;
  }
  return child;
}

int ExitStatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 125;
}

}  // namespace orvel_sim
