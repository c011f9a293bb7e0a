// The kind of a file from its POSIX mode, for the platform's files.
#pragma once

#include <sys/stat.h>

#include "platform/platform.h"

namespace platform {

inline FileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISFIFO(mode)) return FileKind::Fifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::Device;
  if (S_ISSOCK(mode)) return FileKind::Socket;
  return FileKind::Other;
}

}  // namespace platform
