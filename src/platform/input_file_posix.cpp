// POSIX: open with O_NONBLOCK, so that a FIFO is refused rather than waited
// for, then fstat for the kind and size.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix_file_kind.h"

namespace platform {

bool InputFile::Open(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    // A directory opens for reading here, but cannot be read as a file.
    error_ = std::strerror(S_ISDIR(info.st_mode) ? EISDIR : errno);
    ::close(fd);
    return false;
  }
  handle_ = fd;
  kind_ = KindOfMode(info.st_mode);
  size_ = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  return true;
}

bool InputFile::Read(void* dest, uint64_t count) {
  auto* out = static_cast<char*>(dest);
  while (count > 0) {
    const ssize_t got = ::read(static_cast<int>(handle_), out, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error_ = got < 0 ? std::strerror(errno) : "";
      return false;
    }
    out += got;
    count -= static_cast<uint64_t>(got);
  }
  return true;
}

void InputFile::Close() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
  kind_ = Kind::Other;
  size_ = 0;
  error_.clear();
}

}  // namespace platform
