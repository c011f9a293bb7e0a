// Every test process gets a temp directory of its own, which also holds the
// lock files of device claims: test processes that CTest runs side by side
// must neither block each other nor leave files behind. Windows claims are
// named mutexes, gone with their holder: nothing to do there.
#ifndef _WIN32
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::remove(path);
  return 0;
}

class PrivateTmpDir {
 public:
  PrivateTmpDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/orvel-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    owner_ = getpid();
    setenv("TMPDIR", dir_.c_str(), 1);
    platform::SetClaimLockFolder(dir_);
  }
  ~PrivateTmpDir() {
    // A forked child that exits normally must not take the parent's folder away.
    if (dir_.empty() || getpid() != owner_) return;
    nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string dir_;
  pid_t owner_ = 0;
};

const PrivateTmpDir privateTmpDir;

}  // namespace

#endif
