// Windows: locale and console code page from the Win32 API, device claims as
// named mutexes, device-tree rescans through the configuration manager.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // LCIDToLocaleName needs Vista or later
#endif
#include <windows.h>
#include <cfgmgr32.h>

#include <ctime>

#include <string>

#include "platform/locale_names.h"
#include "platform/platform.h"
#include "platform/wall_time.h"

namespace platform {

namespace {

constexpr UINT kGbkCodePage = 936;
constexpr int kIso639BufferSize = 20;
constexpr int kLocaleNameBufferSize = 85;

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

std::string WideToCodePage(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return std::string();
  // CP_UTF8 takes neither a default character nor the used-default flag.
  const char* defaultChar = codePage == CP_UTF8 ? nullptr : "?";
  const int length = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         defaultChar, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], length, defaultChar,
                      nullptr);
  return narrow;
}

// The system's own words for an error code, in UTF-8, without the line end.
std::string SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = length > 0 && text != nullptr ? std::wstring(text, length) : L"error " + std::to_wstring(error);
  if (text != nullptr) LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
  return WideToCodePage(wide, CP_UTF8);
}

// GBK has no characters beyond the Basic Multilingual Plane. Each of them is
// a surrogate pair in UTF-16; it becomes one '?', not one per half.
std::wstring WithAstralCharactersAsQuestionMarks(const std::wstring& wide) {
  std::wstring result;
  result.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const bool pair = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
                      wide[i + 1] <= 0xDFFF;
    result += pair ? L'?' : wide[i];
    if (pair) ++i;
  }
  return result;
}

bool RefuseWith(DWORD error, WriteRefusal& refusal) {
  refusal.kind = FileKind::Regular;
  refusal.systemError = SystemErrorText(error);
  return false;
}

// What stands at path may be replaced: nothing (a new file is made), or a
// file on disk the user may open for writing, as copy would write it (not a
// folder, a device such as NUL or a pipe). target is then the file itself,
// symbolic links followed.
bool CheckReplaceable(const std::string& path, std::string& target, bool& exists, WriteRefusal& refusal) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    // Missing, or its folder is: creating the new file says which.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return RefuseWith(ERROR_ACCESS_DENIED, refusal);
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return RefuseWith(GetLastError(), refusal);
  const DWORD type = GetFileType(file);
  char final[MAX_PATH * 4];
  const DWORD length = type == FILE_TYPE_DISK ? GetFinalPathNameByHandleA(file, final, sizeof final, 0) : 0;
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (type != FILE_TYPE_DISK) {
    refusal.kind = type == FILE_TYPE_PIPE ? FileKind::Fifo : FileKind::Device;
    return false;
  }
  if (length == 0) return RefuseWith(error, refusal);
  if (length >= sizeof final) return RefuseWith(ERROR_FILENAME_EXCED_RANGE, refusal);
  target.assign(final, length);
  exists = true;
  return true;
}

}  // namespace

bool QueryLocaleLanguage(std::string& iso639) {
  char buffer[kIso639BufferSize] = {};
  if (GetLocaleInfoA(GetUserDefaultLCID(), LOCALE_SISO639LANGNAME, buffer, kIso639BufferSize) == 0) return false;
  iso639 = buffer;
  return true;
}

bool QueryUiLocaleName(std::string& localeName) {
  wchar_t wideName[kLocaleNameBufferSize] = {};
  const LCID uiLocale = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (LCIDToLocaleName(uiLocale, wideName, kLocaleNameBufferSize, 0) == 0) return false;
  char name[kLocaleNameBufferSize] = {};
  WideCharToMultiByte(CP_UTF8, 0, wideName, -1, name, kLocaleNameBufferSize, nullptr, nullptr);
  localeName = name;
  return true;
}

bool ConsoleUsesGbk() { return GetConsoleOutputCP() == kGbkCodePage; }

std::string Utf8ToGbk(std::string_view utf8) {
  return WideToCodePage(WithAstralCharactersAsQuestionMarks(Utf8ToWide(utf8)), kGbkCodePage);
}

std::string WideToUtf8(const wchar_t* text) {
  if (text == nullptr) return std::string();
  return WideToCodePage(std::wstring(text), CP_UTF8);
}

// The performance counter: the tick count moves in steps of 10 to 16 ms (and
// of more under Wine on a busy machine), too coarse for reply time-outs.
int64_t MonotonicMs() {
  static const LONGLONG countsPerSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const LONGLONG count = counter.QuadPart;
  return count / countsPerSecond * 1000 + count % countsPerSecond * 1000 / countsPerSecond;
}

void SleepMs(int32_t ms) {
  if (ms <= 0) return;
  Sleep(static_cast<DWORD>(ms));
}

// A closed standard handle is no handle at all here, and devices and files
// get handles of their own: nothing can take the console's place.
void OpenClosedStandardStreams() {}

// Windows has no SIGPIPE: a write to a closed pipe just fails.
void IgnoreBrokenPipe() {}

// Makes a chip that has just restarted into its bootloader, and attached
// again as a new USB device, show up in the next enumeration. Results are
// not looked at: the enumeration that follows tells.
void RequestDeviceTreeRescan() {
  DEVINST root = 0;
  if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return;
  CM_Reenumerate_DevNode(root, CM_REENUMERATE_ASYNCHRONOUS);
}

// Device paths name no file here: the claim is a mutex named after the
// claim name, in the namespace that all sessions share.
DeviceClaim::Outcome DeviceClaim::TryAcquire(const std::string& /*devicePath*/,
                                             const std::string& name) {
  Release();
  target_ = "Global\\orvel-dfu-" + EscapeLockName(name);
  HANDLE mutex = CreateMutexA(nullptr, TRUE, target_.c_str());
  if (mutex == nullptr) {
    // The name exists already: as a different kind of object, or as a mutex
    // whose creator (another user, an elevated instance) denies us access.
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_HANDLE || error == ERROR_ACCESS_DENIED ? Outcome::HeldElsewhere
                                                                         : Outcome::Unavailable;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return Outcome::HeldElsewhere;
  }
  handle_ = reinterpret_cast<intptr_t>(mutex);
  return Outcome::Acquired;
}

// The system deletes the mutex with its last handle, also when the holder
// exits without calling this.
void DeviceClaim::Release() {
  if (handle_ == kNoHandle) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  handle_ = kNoHandle;
}

const std::string& ClaimLockFolder() {
  static const std::string none;
  return none;
}

void SetClaimLockFolder(const std::string& /*folder*/) {}

bool DeviceAccessComesFromUdev() { return false; }

// No location yet: hidapi's Windows paths name the interface, not the port.
std::string UsbLocationOf(const std::string& /*devicePath*/) { return std::string(); }

// Paths are narrow strings in the ANSI code page, as the program files are
// opened. The new file's name: the replaced file's + ".tmp-" + process +
// count.
bool FileReplacement::Begin(const std::string& path, WriteRefusal& refusal) {
  Abandon();
  refusal = WriteRefusal{};
  if (path.empty()) return RefuseWith(ERROR_PATH_NOT_FOUND, refusal);
  std::string target = path;
  bool exists = false;
  if (!CheckReplaceable(path, target, exists, refusal)) return false;
  static unsigned count = 0;
  const std::string temporary =
      target + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return RefuseWith(GetLastError(), refusal);
  handle_ = reinterpret_cast<intptr_t>(file);
  target_ = target;
  temporary_ = temporary;
  replacesExisting_ = exists;
  return true;
}

// ReplaceFile keeps what the replaced file had (attributes, security,
// streams); a new file is moved into place.
bool FileReplacement::Commit(const uint8_t* bytes, size_t size, WriteRefusal& refusal) {
  refusal = WriteRefusal{};
  if (handle_ == kNoHandle) return RefuseWith(ERROR_INVALID_HANDLE, refusal);
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  handle_ = kNoHandle;
  bool written = true;
  while (written && size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD done = 0;
    written = WriteFile(file, bytes, chunk, &done, nullptr) != 0 && done > 0;
    bytes += done;
    size -= done;
  }
  written = written && FlushFileBuffers(file) != 0;
  DWORD failure = written ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  if (written) {
    const bool moved =
        replacesExisting_
            ? ReplaceFileA(target_.c_str(), temporary_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                           nullptr) != 0
            : MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    if (moved) {
      temporary_.clear();
      return true;
    }
    failure = GetLastError();
  }
  Abandon();
  return RefuseWith(failure, refusal);
}

void FileReplacement::Abandon() {
  if (handle_ != kNoHandle) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNoHandle;
  if (!temporary_.empty()) DeleteFileA(temporary_.c_str());
  temporary_.clear();
}

bool AppendSynced(const std::string& path, const std::string& text, std::string& systemError) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    systemError = SystemErrorText(GetLastError());
    return false;
  }
  DWORD done = 0;
  const bool written = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) != 0 &&
                       done == text.size() && FlushFileBuffers(file) != 0;
  if (!written) systemError = SystemErrorText(GetLastError());
  CloseHandle(file);
  return written;
}

bool BreakDownTime(int64_t seconds, bool utc, struct tm& parts) {
  const __time64_t when = static_cast<__time64_t>(seconds);
  return (utc ? _gmtime64_s(&parts, &when) : _localtime64_s(&parts, &when)) == 0;
}

}  // namespace platform
