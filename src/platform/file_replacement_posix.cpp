// POSIX: a file replaced as a whole through a new file beside it and a
// rename, with the new file removed when an ending signal comes first.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix_file_kind.h"
#include "platform/posix_write.h"

namespace platform {

namespace {

// A new file gets the mode any program's new file gets: 0666 less the umask.
void GiveUsualMode(int fd) {
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
}

// The new file takes the place of an existing one: its owner and group where
// the process may set them (root, or a group of the user's), then its mode,
// since a change of owner clears the set-user-ID and set-group-ID bits.
void KeepOwnerAndMode(int fd, const struct stat& existing) {
  if (fchown(fd, existing.st_uid, existing.st_gid) != 0) (void)fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
  (void)fchmod(fd, existing.st_mode & 07777);
}

bool RefuseWith(int error, WriteRefusal& refusal) {
  refusal.kind = FileKind::Regular;
  refusal.systemError = std::strerror(error);
  return false;
}

// An existing file (links followed) is replaced only when it is a regular
// file the user may open for writing, as cp would write it: a device, a FIFO
// or a write-protected file is never swapped for a new file.
bool MayReplace(const std::string& path, const struct stat& existing, WriteRefusal& refusal) {
  if (S_ISDIR(existing.st_mode)) return RefuseWith(EISDIR, refusal);
  refusal.kind = KindOfMode(existing.st_mode);
  if (refusal.kind != FileKind::Regular) return false;
  // Opened only, never truncated or written: the check has no effect.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RefuseWith(errno, refusal);
  ::close(fd);
  return true;
}

// The path of name in the folder of path.
std::string BesidePath(const std::string& path, const std::string& name) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

// The file that path names once its symbolic links are followed, as open()
// follows them; a link to nothing names the file to create.
bool FollowLinks(const std::string& path, std::string& target, WriteRefusal& refusal) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 0) + 256, '\0');
    const ssize_t length = ::readlink(target.c_str(), &link[0], link.size());
    if (length < 0) return RefuseWith(errno, refusal);
    link.resize(static_cast<size_t>(length));
    target = !link.empty() && link.front() == '/' ? link : BesidePath(target, link);
  }
  return RefuseWith(ELOOP, refusal);
}

// The signals that end the tool from a terminal or a service manager.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

// Keeps the ending signals from this thread for a scope, so that one that
// arrives meanwhile finds the guard of the new file in a settled state.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : kEndingSignals) sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &saved_);
  }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

// The new file of the replacement under way, for the signal handler: a path
// in a fixed buffer, armed only while it names a file of ours.
char guardedPath[PATH_MAX];
volatile sig_atomic_t guardArmed = 0;
struct sigaction savedActions[kEndingSignalCount];
bool guardInstalled[kEndingSignalCount];

// Only async-signal-safe calls: removes the file, then the signal, now at
// its default action again (SA_RESETHAND), ends the process once the
// handler returns, as if no handler had been there.
void RemoveGuardedFileAndEnd(int signal) {
  const int savedErrno = errno;
  if (guardArmed) ::unlink(guardedPath);
  ::raise(signal);
  errno = savedErrno;
}

// Arms the removal of path when an ending signal comes, for each of them
// still at its default action. False when another replacement holds the
// guard or the path does not fit.
bool GuardAgainstEndingSignals(const std::string& path) {
  if (guardArmed || path.size() >= sizeof guardedPath) return false;
  std::memcpy(guardedPath, path.c_str(), path.size() + 1);
  guardArmed = 1;
  struct sigaction removal {};
  removal.sa_handler = RemoveGuardedFileAndEnd;
  sigemptyset(&removal.sa_mask);
  removal.sa_flags = SA_RESETHAND;
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    guardInstalled[i] = false;
    struct sigaction current {};
    if (sigaction(kEndingSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    guardInstalled[i] = sigaction(kEndingSignals[i], &removal, &savedActions[i]) == 0;
  }
  return true;
}

// A signal whose handler was changed meanwhile keeps the new one.
void DropSignalGuard() {
  guardArmed = 0;
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    struct sigaction current {};
    if (guardInstalled[i] && sigaction(kEndingSignals[i], nullptr, &current) == 0 &&
        current.sa_handler == RemoveGuardedFileAndEnd) {
      sigaction(kEndingSignals[i], &savedActions[i], nullptr);
    }
    guardInstalled[i] = false;
  }
}

}  // namespace

bool FileReplacement::Begin(const std::string& path, WriteRefusal& refusal) {
  Abandon();
  refusal = WriteRefusal{};
  if (path.empty()) return RefuseWith(ENOENT, refusal);
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) return RefuseWith(errno, refusal);
  if (exists && !MayReplace(path, existing, refusal)) return false;
  std::string target;
  if (!FollowLinks(path, target, refusal)) return false;
  // The new file lies beside the one it replaces, so the rename never
  // crosses file systems.
  std::string temporary = target + ".tmp-XXXXXX";
  int fd = -1;
  {
    // No signal between its creation and the guard that removes it.
    const EndingSignalsHeld held;
    fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return RefuseWith(errno, refusal);
    guarded_ = GuardAgainstEndingSignals(temporary);
  }
  if (exists) {
    KeepOwnerAndMode(fd, existing);
  } else {
    GiveUsualMode(fd);
  }
  handle_ = fd;
  target_ = target;
  temporary_ = temporary;
  return true;
}

bool FileReplacement::Commit(const uint8_t* bytes, size_t size, WriteRefusal& refusal) {
  refusal = WriteRefusal{};
  if (handle_ == kNoHandle) return RefuseWith(EBADF, refusal);
  const int fd = static_cast<int>(handle_);
  handle_ = kNoHandle;
  // On disk before the rename: a crash right after it leaves the old file or
  // the new one, never an empty one.
  bool written = WriteAll(fd, bytes, size) && fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written) {
    const EndingSignalsHeld held;
    if (std::rename(temporary_.c_str(), target_.c_str()) == 0) {
      if (guarded_) DropSignalGuard();
      guarded_ = false;
      temporary_.clear();
      return true;
    }
    failure = errno;
  }
  Abandon();
  return RefuseWith(failure, refusal);
}

void FileReplacement::Abandon() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
  if (temporary_.empty()) return;
  const EndingSignalsHeld held;
  ::unlink(temporary_.c_str());
  if (guarded_) DropSignalGuard();
  guarded_ = false;
  temporary_.clear();
}

}  // namespace platform
