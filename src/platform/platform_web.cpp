// The browser, for the flashing page built with Emscripten: the language the
// browser prefers, the page's clock, sleeps that give the event loop back
// (the page is built with Asyncify, so a sleep awaits a timer and WebHID's
// events keep flowing), and no inter-process claim: a browser tab owns the
// HID devices it opened, and other programs never see the page's claim, so
// taking one always succeeds and holds nothing.
#include <emscripten.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/utf8.h"
#include "platform/platform.h"
#include "platform/wall_time.h"

namespace platform {

namespace {

// navigator.language, a BCP 47 tag such as "zh-CN" or "en-US".
EM_JS(void, BrowserLanguageTag, (char* out, int size), {
  stringToUTF8(navigator.language || "", out, size);
});

std::string LanguageTag() {
  char tag[64] = {};
  BrowserLanguageTag(tag, sizeof tag);
  return tag;
}

}  // namespace

bool QueryLocaleLanguage(std::string& iso639) {
  const std::string tag = LanguageTag();
  if (tag.empty()) return false;
  iso639 = tag.substr(0, tag.find('-'));
  return true;
}

bool QueryUiLocaleName(std::string& localeName) {
  localeName = LanguageTag();
  return !localeName.empty();
}

// The page shows Unicode text.
bool ConsoleUsesGbk() { return false; }

// Never reached from the page, whose console is UTF-8; the conversion tables
// would double the module, so every character beyond ASCII counts as one GBK
// lacks.
std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c >= 0xC0) {
      out += '?';  // one per character: continuation bytes add nothing
    }
  }
  return out;
}

// wchar_t is 32 bits in WebAssembly: UTF-32, as the transport writes it.
std::string WideToUtf8(const wchar_t* text) {
  std::string utf8;
  if (text == nullptr) return utf8;
  for (; *text != L'\0'; ++text) AppendUtf8(utf8, static_cast<uint32_t>(*text));
  return utf8;
}

int64_t MonotonicMs() { return static_cast<int64_t>(emscripten_get_now()); }

void SleepMs(int32_t ms) {
  if (ms > 0) emscripten_sleep(static_cast<unsigned>(ms));
}

// The page has no descriptors of its own to guard.
void OpenClosedStandardStreams() {}

// The page writes no console output through pipes.
void IgnoreBrokenPipe() {}

// The browser lists a device as soon as it is attached.
void RequestDeviceTreeRescan() {}

DeviceClaim::Outcome DeviceClaim::TryAcquire(const std::string& devicePath,
                                             const std::string& /*name*/) {
  Release();
  target_ = devicePath;
  handle_ = 0;
  return Outcome::Acquired;
}

void DeviceClaim::Release() { handle_ = kNoHandle; }

const std::string& ClaimLockFolder() {
  static const std::string none;
  return none;
}

void SetClaimLockFolder(const std::string& /*folder*/) {}

// The browser asks the user for each device; no rule grants access.
bool DeviceAccessComesFromUdev() { return false; }

// WebHID does not tell where a device is plugged in.
std::string UsbLocationOf(const std::string& /*devicePath*/) { return std::string(); }

// The page keeps files in the module's memory file system, where a rename
// replaces the file at once and no signal ends the page; a file has no
// owner or mode to keep there.
bool FileReplacement::Begin(const std::string& path, WriteRefusal& refusal) {
  Abandon();
  refusal = WriteRefusal{};
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    if (S_ISDIR(existing.st_mode)) {
      refusal.systemError = std::strerror(EISDIR);
    } else {
      refusal.kind = FileKind::Other;
    }
    return false;
  }
  std::string temporary = path + ".tmp-XXXXXX";
  const int fd = mkstemp(&temporary[0]);
  if (fd < 0) {
    refusal.systemError = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  target_ = path;
  temporary_ = temporary;
  return true;
}

bool FileReplacement::Commit(const uint8_t* bytes, size_t size, WriteRefusal& refusal) {
  refusal = WriteRefusal{};
  const int fd = static_cast<int>(handle_);
  handle_ = kNoHandle;
  bool written = fd >= 0 && ::write(fd, bytes, size) == static_cast<ssize_t>(size);
  if (fd >= 0 && ::close(fd) != 0) written = false;
  if (written && std::rename(temporary_.c_str(), target_.c_str()) == 0) {
    temporary_.clear();
    return true;
  }
  refusal.systemError = std::strerror(fd >= 0 ? errno : EBADF);
  Abandon();
  return false;
}

void FileReplacement::Abandon() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
  if (!temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
}

// The browser's C library keeps UTC and the page's time zone.
bool BreakDownTime(int64_t seconds, bool utc, struct tm& parts) {
  const time_t when = static_cast<time_t>(seconds);
  return (utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) != nullptr;
}

}  // namespace platform
