// The few things the tool needs from the operating system. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by the build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// ISO 639 language name of the user's default locale ("en", "zh").
// False when the platform cannot say.
bool QueryLocaleLanguage(std::string& iso639);

// The user's UI language as a locale name of the form "zh-CN".
// False when the platform cannot say.
bool QueryUiLocaleName(std::string& localeName);

// True when the console shows text as GBK (code page 936); otherwise UTF-8.
bool ConsoleUsesGbk();

// UTF-8 to GBK. Characters GBK lacks become '?'.
std::string Utf8ToGbk(std::string_view utf8);

// A wide string from the HID library (UTF-32 on POSIX, UTF-16 on Windows) as UTF-8.
std::string WideToUtf8(const wchar_t* text);

// Monotonic wall-clock milliseconds from an arbitrary origin.
int64_t MonotonicMs();

// Sleeps at least ms milliseconds; nothing for ms <= 0.
void SleepMs(int32_t ms);

// Asks the OS to re-enumerate its device tree without waiting for it.
void RequestDeviceTreeRescan();

// An inter-process lock named by a text: created owned, refused while another
// holder has it, released by Release() or by the holder's exit.
class NamedLock {
 public:
  enum class Outcome { Acquired, HeldElsewhere, Unavailable };

  NamedLock() = default;
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  ~NamedLock() { Release(); }

  // Releases any lock held, then tries (never waits) to take the named one.
  Outcome TryAcquire(const std::string& name);
  void Release();
  bool held() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

// A file opened for reading, never blocking in the open (a FIFO with no
// writer would block a plain one), so that its kind can be checked first.
class InputFile {
 public:
  enum class Kind { Regular, Fifo, Device, Socket, Other };

  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { Close(); }

  // False when the file cannot be opened (a directory cannot either);
  // error() then holds the system's reason.
  bool Open(const std::string& path);
  Kind kind() const { return kind_; }
  // The size in bytes of a regular file.
  uint64_t size() const { return size_; }
  // Reads exactly count bytes from the current position. False otherwise,
  // with the system's reason in error(), or error() empty when the file
  // ended first.
  bool Read(void* dest, uint64_t count);
  const std::string& error() const { return error_; }
  void Close();

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  Kind kind_ = Kind::Other;
  uint64_t size_ = 0;
  std::string error_;
};

}  // namespace platform
