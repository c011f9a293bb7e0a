// POSIX: locale from the environment, GBK through iconv, device claims as
// flock()s on the device node or on a lock file in one fixed folder, USB
// locations from Linux's sysfs.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/utf8.h"
#include "platform/locale_names.h"
#include "platform/platform.h"
#include "platform/posix_write.h"
#include "platform/wall_time.h"

namespace platform {

namespace {

using ClaimOutcome = DeviceClaim::Outcome;

// The locale that decides the language of messages, as setlocale would.
std::string MessagesLocale() {
  return FirstNonEmpty(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string CharacterTypeLocale() {
  return FirstNonEmpty(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"));
}

// Length of the UTF-8 sequence that starts with lead, 1 for a stray byte, so
// that a byte GBK cannot take is replaced by one '?' per character.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Set before main() by tests, so built on first use.
std::string& LockFolder() {
  static std::string folder = "/tmp";
  return folder;
}

// flock() needs no write access: read-only is enough to hold a claim.
int OpenForReading(const std::string& path, int flags) {
  // O_NOCTTY: under orvel-sim the node is a pseudo-terminal, never to become
  // our controlling terminal. O_NONBLOCK: nothing planted there (a FIFO) may
  // keep open() from returning.
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags);
}

// The lock file of a device whose path names no file, or -1 with the outcome
// to report. A missing one is created, readable by everyone so that every
// user's instances can lock it. An existing one is used only when it is a
// regular file with one link: a file linked there from elsewhere is never
// taken as a lock, and the mode of a file that exists is never changed.
int OpenLockFile(const std::string& path, ClaimOutcome& failure) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
  if (fd >= 0) {
    // Just created, so ours alone: undo what the umask took away.
    (void)fchmod(fd, 0444);
    return fd;
  }
  if (errno != EEXIST) {
    failure = ClaimOutcome::Unavailable;
    return -1;
  }
  fd = OpenForReading(path, O_NOFOLLOW);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    if (fd >= 0) ::close(fd);
    failure = ClaimOutcome::Unusable;
    return -1;
  }
  return fd;
}

// Locks an open file for good or closes it.
ClaimOutcome LockOpenFile(int fd, intptr_t& handle) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return heldElsewhere ? ClaimOutcome::HeldElsewhere : ClaimOutcome::Unavailable;
  }
  handle = fd;
  return ClaimOutcome::Acquired;
}

std::string LastPathPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The kernel's name of a USB device: BUS-PORT[.PORT...] ("1-2.3"). Root hubs
// ("usb1") and interfaces ("1-2.3:1.0") have names of other forms.
bool IsUsbDeviceName(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == std::string::npos || !AllDigits(name.substr(0, dash))) return false;
  size_t from = dash + 1;
  for (;;) {
    const size_t dot = name.find('.', from);
    if (!AllDigits(name.substr(from, dot == std::string::npos ? std::string::npos : dot - from))) return false;
    if (dot == std::string::npos) return true;
    from = dot + 1;
  }
}

}  // namespace

bool QueryLocaleLanguage(std::string& iso639) {
  iso639 = Iso639FromLocale(MessagesLocale());
  return true;
}

bool QueryUiLocaleName(std::string& localeName) {
  const char* languageList = std::getenv("LANGUAGE");
  localeName = UiLocaleNameFrom(languageList != nullptr ? languageList : "", MessagesLocale());
  return true;
}

bool ConsoleUsesGbk() { return IsGbkCodeset(CharacterTypeLocale()); }

std::string Utf8ToGbk(std::string_view utf8) {
  iconv_t converter = iconv_open("GBK", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
  std::string gbk;
  char buffer[256];
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  while (inLeft > 0) {
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    gbk.append(buffer, static_cast<size_t>(out - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ (a character GBK lacks, or malformed input) or EINVAL (cut off).
    const size_t skip = Utf8SequenceLength(static_cast<unsigned char>(*in));
    const size_t step = skip < inLeft ? skip : inLeft;
    in += step;
    inLeft -= step;
    gbk += '?';
  }
  iconv_close(converter);
  return gbk;
}

std::string WideToUtf8(const wchar_t* text) {
  std::string utf8;
  if (text == nullptr) return utf8;
  for (; *text != L'\0'; ++text) AppendUtf8(utf8, static_cast<uint32_t>(*text));
  return utf8;
}

int64_t MonotonicMs() {
  const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
}

void SleepMs(int32_t ms) {
  if (ms <= 0) return;
  timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// fcntl(F_GETFD) fails with EBADF only on a descriptor that is not open.
// Pipes hold the closed numbers while the null device is opened, so that
// whatever else that open makes lands above 2: under umockdev, the preload
// library connects a socket for every device node opened, /dev/null too.
void OpenClosedStandardStreams() {
  bool closed[3] = {};
  bool anyClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    closed[fd] = fcntl(fd, F_GETFD) == -1 && errno == EBADF;
    anyClosed = anyClosed || closed[fd];
  }
  if (!anyClosed) return;
  std::vector<int> holders;
  int ends[2];
  while (holders.size() < 4 && pipe(ends) == 0) {
    holders.insert(holders.end(), {ends[0], ends[1]});
    if (ends[1] > 2) break;
  }
  const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);
  for (int fd = 0; fd <= 2; ++fd) {
    if (closed[fd] && null >= 0) dup2(null, fd);  // in place of the holder there
  }
  for (const int holder : holders) {
    if (holder > 2 || null < 0) ::close(holder);
  }
  if (null > 2) ::close(null);
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

// Linux and the BSDs pick up new USB devices by themselves; the caller's
// settle time is all that is needed.
void RequestDeviceTreeRescan() {}

DeviceClaim::Outcome DeviceClaim::TryAcquire(const std::string& devicePath,
                                             const std::string& name) {
  Release();
  // A device node (hidraw) is locked itself: only who may open the device
  // can hold its claim, and every instance meets there, whatever its TMPDIR.
  // Relative paths (libusb's "1-2:1.0") name no file of ours.
  if (!devicePath.empty() && devicePath.front() == '/') {
    target_ = devicePath;
    const int fd = OpenForReading(devicePath, 0);
    if (fd >= 0) return LockOpenFile(fd, handle_);
    // No access: opening the device fails alike and says why.
    if (errno != ENOENT && errno != ENOTDIR) return Outcome::Unavailable;
  }
  target_ = ClaimLockFilePath(LockFolder(), name);
  Outcome failure = Outcome::Unavailable;
  const int fd = OpenLockFile(target_, failure);
  if (fd < 0) return failure;
  return LockOpenFile(fd, handle_);
}

// A lock file stays: removing it would let a third instance lock a new file
// while a second one still holds the old one.
void DeviceClaim::Release() {
  if (handle_ == kNoHandle) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

const std::string& ClaimLockFolder() { return LockFolder(); }

void SetClaimLockFolder(const std::string& folder) { LockFolder() = folder; }

bool DeviceAccessComesFromUdev() {
#ifdef __linux__
  return true;
#else
  return false;
#endif
}

// /sys/class/hidraw/hidrawN/device is the hid device; the folder above it is
// the USB interface (1-2.3:1.0), and the one above that the USB device
// (1-2.3), whose name is the location.
std::string UsbLocationOf(const std::string& devicePath) {
#ifdef __linux__
  const std::string node = LastPathPart(devicePath);
  if (node.rfind("hidraw", 0) != 0 || !AllDigits(node.substr(6))) return std::string();
  char* resolved = realpath(("/sys/class/hidraw/" + node + "/device").c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  const std::string hidDevice = resolved;
  std::free(resolved);
  const std::string usbInterface = FolderOf(hidDevice);
  const std::string usbDevice = LastPathPart(FolderOf(usbInterface));
  // The interface's name starts with its device's: "1-2.3" + ":1.0".
  if (!IsUsbDeviceName(usbDevice) || LastPathPart(usbInterface).rfind(usbDevice + ":", 0) != 0) return std::string();
  return usbDevice;
#else
  (void)devicePath;
  return std::string();
#endif
}

bool AppendSynced(const std::string& path, const std::string& text, std::string& systemError) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    systemError = std::strerror(errno);
    return false;
  }
  bool written = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (!written) systemError = std::strerror(failure);
  return written;
}

bool BreakDownTime(int64_t seconds, bool utc, struct tm& parts) {
  const time_t when = static_cast<time_t>(seconds);
  return (utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) != nullptr;
}

}  // namespace platform
