// Preloaded by orvel-sim into its command for --no-access: opening one of the
// device nodes named in ORVEL_SIM_NO_ACCESS (a colon-separated list) fails
// with EACCES, whoever asks, root included, as for a hidraw node its user may
// not open. Every other open goes on to the next library (umockdev's).
#undef _FORTIFY_SOURCE  // its inline open() would clash with ours
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool Refused(const char* path) {
  const char* list = getenv("ORVEL_SIM_NO_ACCESS");
  if (path == nullptr || list == nullptr) return false;
  const size_t length = strlen(path);
  for (const char* entry = list; *entry != '\0';) {
    const char* end = strchr(entry, ':');
    if (end == nullptr) end = entry + strlen(entry);
    if (static_cast<size_t>(end - entry) == length && strncmp(entry, path, length) == 0) {
      return true;
    }
    entry = *end == ':' ? end + 1 : end;
  }
  return false;
}

using Open = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);
using CheckedOpen = int (*)(const char*, int);
using CheckedOpenAt = int (*)(int, const char*, int);
using Fopen = FILE* (*)(const char*, const char*);

// The next library's `name` (umockdev's, then the C library's).
template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A file descriptor, or -1 with EACCES for a refused node.
template <typename Function, typename... Arguments>
int OpenOrRefuse(const char* name, const char* path, Arguments... arguments) {
  if (Refused(path)) {
    errno = EACCES;
    return -1;
  }
  return Next<Function>(name)(arguments...);
}

FILE* FopenOrRefuse(const char* name, const char* path, const char* mode) {
  if (Refused(path)) {
    errno = EACCES;
    return nullptr;
  }
  return Next<Fopen>(name)(path, mode);
}

// open()'s third argument is there only when a file may be created.
mode_t ModeArgument(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenOrRefuse<Open>("open", path, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenOrRefuse<Open>("open64", path, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenOrRefuse<OpenAt>("openat", path, directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenOrRefuse<OpenAt>("openat64", path, directory, path, flags, mode);
}

// What open() calls become in programs built with _FORTIFY_SOURCE.
int __open_2(const char* path, int flags) {
  return OpenOrRefuse<CheckedOpen>("__open_2", path, path, flags);
}

int __open64_2(const char* path, int flags) {
  return OpenOrRefuse<CheckedOpen>("__open64_2", path, path, flags);
}

int __openat_2(int directory, const char* path, int flags) {
  return OpenOrRefuse<CheckedOpenAt>("__openat_2", path, directory, path, flags);
}

int __openat64_2(int directory, const char* path, int flags) {
  return OpenOrRefuse<CheckedOpenAt>("__openat64_2", path, directory, path, flags);
}

// The C library opens the file of an fopen() internally, past any preload.
FILE* fopen(const char* path, const char* mode) { return FopenOrRefuse("fopen", path, mode); }

FILE* fopen64(const char* path, const char* mode) { return FopenOrRefuse("fopen64", path, mode); }

}  // extern "C"
