// The few things the tool needs from the operating system. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by the build.
#pragma once

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

// Opens the null device on each of standard input, output and error that is
// closed, so that no file or device the program opens later gets one of
// their numbers and receives console text. First thing in main().
void OpenClosedStandardStreams();

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

// What stands at a path that names something other than a folder.
enum class FileKind { Regular, Fifo, Device, Socket, Other };

// Why a file cannot be written: something other than a regular file stands
// at its path (kind), or else the system's reason.
struct WriteRefusal {
  FileKind kind = FileKind::Regular;
  std::string systemError;
};

// A file written as a whole or not at all: the new content goes into a new
// file beside the one it replaces and is renamed over it at the end, so the
// file at the path is either what it was or the whole new content.
//
// Begin() checks the path before anything is produced for it, as cp would:
// a symbolic link is followed (its target is replaced, the link stays); an
// existing file must be a regular file the user may open for writing; a
// missing one is created in its folder. It then creates the new file, which
// takes over the mode of the file it replaces (and its owner, where the
// process may give it away). Commit() writes the bytes into it and renames
// it. Until then the new file is removed when the replacement is abandoned
// or dropped, and on POSIX also when SIGINT, SIGTERM or SIGHUP ends the
// process (a signal that has a handler or is ignored is left to it; one
// replacement at a time is guarded so).
class FileReplacement {
 public:
  FileReplacement() = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement() { Abandon(); }

  // False, with why, when the file at path cannot be replaced; nothing is
  // then left behind.
  bool Begin(const std::string& path, WriteRefusal& refusal);
  // False, with the system's reason, when the bytes could not be written or
  // the file not renamed; the new file is then gone and the old one stays.
  bool Commit(const uint8_t* bytes, size_t size, WriteRefusal& refusal);
  // Removes the new file, if any; the file at the path stays as it was.
  void Abandon();
  // The new file while the replacement is under way, "" otherwise.
  const std::string& temporaryPath() const { return temporary_; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  std::string target_;  // the file replaced, symbolic links followed
  std::string temporary_;
  // Each platform's own state, unused elsewhere.
  [[maybe_unused]] bool guarded_ = false;           // POSIX: its removal on a signal is armed
  [[maybe_unused]] bool replacesExisting_ = false;  // Windows: a file stands at the path
};

// Begin() and Commit() at once.
inline bool ReplaceFileWith(const std::string& path, const uint8_t* bytes, size_t size, WriteRefusal& refusal) {
  FileReplacement replacement;
  return replacement.Begin(path, refusal) && replacement.Commit(bytes, size, refusal);
}

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

// A file opened for reading, never blocking in the open (a FIFO with no
// writer would block a plain one), so that its kind can be checked first.
class InputFile {
 public:
  using Kind = FileKind;

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
