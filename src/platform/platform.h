// The few things the tool needs from the operating system. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by the build.
#pragma once

#include <atomic>
#include <cstddef>
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

// A write to a closed pipe or socket then fails instead of ending the process,
// so that a reader that goes away never cuts a flash short.
void IgnoreBrokenPipe();

// Asks the OS to re-enumerate its device tree without waiting for it.
void RequestDeviceTreeRescan();

// The claim on one device interface that keeps other running instances of
// the tool away from it: only ever tried, never waited for, and released by
// Release() or by the holder's exit.
//   POSIX: an exclusive flock() on the device node itself when the path names
//   a file (hidraw), so that only users who may open the device can hold it
//   and TMPDIR plays no part; otherwise on a lock file in one fixed folder
//   (ClaimLockFolder), named after the claim name.
//   Windows: a named mutex in the Global\ namespace, named after the claim name.
//   The browser: always taken and holding nothing (a tab owns its devices).
class DeviceClaim {
 public:
  enum class Outcome {
    Acquired,
    HeldElsewhere,  // another process holds it
    // The lock file exists but is no regular file with one link, or cannot
    // be opened: it is left alone, and the device is taken as held.
    Unusable,
    // No claim can be had (the node cannot be opened, there is no lock
    // folder): the device is used unguarded.
    Unavailable,
  };

  DeviceClaim() = default;
  DeviceClaim(const DeviceClaim&) = delete;
  DeviceClaim& operator=(const DeviceClaim&) = delete;
  ~DeviceClaim() { Release(); }

  // Releases any claim held, then tries to claim the device at devicePath,
  // known by name where the path names no file.
  Outcome TryAcquire(const std::string& devicePath, const std::string& name);
  void Release();
  bool held() const { return handle_ != kNoHandle; }
  // What the last TryAcquire tried to lock: the device node, the lock file
  // or the mutex name.
  const std::string& target() const { return target_; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  std::string target_;
};

// The folder of the claims' lock files: "/tmp", whatever TMPDIR says, so that
// the instances of every user meet there. Tests give it a folder of their own.
// Windows and the browser keep no lock files and ignore it.
const std::string& ClaimLockFolder();
void SetClaimLockFolder(const std::string& folder);

// True where users get access to the bootloader's device node through a udev
// rule (Linux).
bool DeviceAccessComesFromUdev();

// The USB location of the device interface at devicePath: the kernel's name
// of the USB device it belongs to, BUS-PORT[.PORT...] ("1-2.3", as in
// /sys/bus/usb/devices/1-2.3). It names a physical port and stays the same
// whichever device is plugged in there.
//   Linux: read through sysfs from a hidraw node (its hid device, the USB
//   interface above it, the USB device above that).
//   Elsewhere, and for a node that is no USB device's: "" (unknown).
std::string UsbLocationOf(const std::string& devicePath);

// Writes the bytes to a new file beside path, then renames it to path: the
// file at path is either what it was or the whole new content, never part of
// it, whatever fails. False, with the system's reason, when the file could
// not be written; nothing is then left behind.
bool ReplaceFileWith(const std::string& path, const uint8_t* bytes, size_t size, std::string& systemError);

// Appends text to the file at path (created when missing, with the usual
// mode for new files) and waits until it is on disk: a power cut right after
// loses nothing written before. False, with the system's reason, otherwise.
bool AppendSynced(const std::string& path, const std::string& text, std::string& systemError);

// A moment of wall-clock time as text: "2026-12-09 17:42:15" in the local
// time zone, and "2026-12-09T16:42:15.123Z" in UTC (ISO 8601).
std::string LocalTimeText(int64_t unixMs);
std::string UtcTimeText(int64_t unixMs);
// Milliseconds since 1970-01-01 UTC.
int64_t UnixTimeMs();

// True when standard error is a terminal that takes cursor movements
// (redrawing lines in place).
bool ErrorIsRedrawableTerminal();

// Counts SIGINT and SIGTERM (Ctrl+C, Ctrl+Break and console close on
// Windows) into count instead of ending the process, until StopCounting-
// Interrupts. count must outlive the counting.
void CountInterrupts(std::atomic<int>& count);
void StopCountingInterrupts();

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
