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

}  // namespace platform
