// Windows: the C runtime's _open and _fstat64. Opening never blocks there;
// a pipe or a console still reports a kind other than a regular file.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

InputFile::Kind KindOf(unsigned short mode) {
  if ((mode & _S_IFMT) == _S_IFREG) return InputFile::Kind::Regular;
  if ((mode & _S_IFMT) == _S_IFIFO) return InputFile::Kind::Fifo;
  if ((mode & _S_IFMT) == _S_IFCHR) return InputFile::Kind::Device;
  return InputFile::Kind::Other;
}

}  // namespace

bool InputFile::Open(const std::string& path) {
  Close();
  const int fd = ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  struct _stat64 info {};
  if (::_fstat64(fd, &info) != 0) {
    error_ = std::strerror(errno);
    ::_close(fd);
    return false;
  }
  handle_ = fd;
  kind_ = KindOf(info.st_mode);
  size_ = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  return true;
}

bool InputFile::Read(void* dest, uint64_t count) {
  auto* out = static_cast<char*>(dest);
  constexpr uint64_t kLargestRead = 1u << 30;  // _read takes an unsigned int
  while (count > 0) {
    const unsigned chunk = static_cast<unsigned>(std::min(count, kLargestRead));
    const int got = ::_read(static_cast<int>(handle_), out, chunk);
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
  if (handle_ != kNoHandle) ::_close(static_cast<int>(handle_));
  handle_ = kNoHandle;
  kind_ = Kind::Other;
  size_ = 0;
  error_.clear();
}

}  // namespace platform
