// POSIX: locale from the environment, GBK through iconv, locks as flock'ed
// files in the temporary directory.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/locale_names.h"
#include "platform/platform.h"

namespace platform {

namespace {

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

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::string LockFilePath(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
  if (path.back() != '/') path += '/';
  return path + "orvel-dfu-" + EscapeLockName(name) + ".lock";
}

// Another user may have created the file already; in a sticky world-writable
// directory the kernel can then refuse O_CREAT (protected_regular), while a
// plain open still works.
int OpenLockFile(const std::string& path) {
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  int fd = ::open(path.c_str(), flags | O_CREAT, 0666);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), flags);
  return fd;
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

// Linux and the BSDs pick up new USB devices by themselves; the caller's
// settle time is all that is needed.
void RequestDeviceTreeRescan() {}

NamedLock::Outcome NamedLock::TryAcquire(const std::string& name) {
  Release();
  const int fd = OpenLockFile(LockFilePath(name));
  if (fd < 0) return Outcome::Unavailable;
  // Let other users' instances open and lock the same file. Fails harmlessly
  // when the file belongs to someone else.
  (void)fchmod(fd, 0666);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return heldElsewhere ? Outcome::HeldElsewhere : Outcome::Unavailable;
  }
  handle_ = fd;
  return Outcome::Acquired;
}

// The file stays: removing it would let a third instance lock a new file
// while a second one still holds the old one.
void NamedLock::Release() {
  if (handle_ == kNoHandle) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

}  // namespace platform
