// Writing a whole buffer to a POSIX file, for the platform's files.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace platform {

// Writes all of the bytes, across short writes and interruptions; false,
// with errno set, otherwise.
inline bool WriteAll(int fd, const void* data, size_t size) {
  auto bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = EIO;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace platform
