// What the tests need alike on POSIX and Windows: the POSIX calls they use
// for environment variables, temporary folders and files (mingw-w64 has
// <unistd.h>: getpid, unlink, rmdir, access; but not setenv, unsetenv,
// mkdtemp or O_CLOEXEC), and
// the Windows user locale they run under.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <random>

// Handles that children do not inherit.
#ifndef O_CLOEXEC
#define O_CLOEXEC O_NOINHERIT
#endif

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

// An empty value removes the variable.
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

// Replaces the trailing XXXXXX of the pattern and creates that folder.
inline char* mkdtemp(char* pattern) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const size_t length = std::strlen(pattern);
  if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = length - 6; i < length; ++i) pattern[i] = kLetters[random() % (sizeof kLetters - 1)];
    if (_mkdir(pattern) == 0) return pattern;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}
#endif

// The bytes of a file as they are on disk (no line-end conversion); "" when
// it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A mkdtemp pattern for a new folder in the system's temporary folder.
inline std::string TempFolderPattern(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
}

// The Windows user locale the tests run under ("en-US", "zh-CN", "zh-TW"), as
// whoever runs them names it in ORVEL_TEST_USER_LOCALE (the Windows build runs
// the locale tests under Wine once per locale); "" when it is not named.
inline constexpr const char* kUserLocaleUnnamed =
    "ORVEL_TEST_USER_LOCALE names no user locale of this test; the *_en-US, *_zh-CN and *_zh-TW tests run it "
    "under each";
inline std::string DeclaredUserLocale() {
  const char* locale = std::getenv("ORVEL_TEST_USER_LOCALE");
  return locale != nullptr ? locale : "";
}
