// The history file on POSIX: plain text, a line per entry, appended as lines
// are typed so that a line survives whatever ends the process after it (a
// job ends the shell), and cut back to its limit when a session starts.
#include "platform/posix_write.h"
#include "platform/history_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/line_reader.h"

namespace platform {

namespace {

constexpr const char* kPathInStateFolder = "/orvel-dfu/history";

// Makes every missing folder of the absolute path folder with mode 0700, as
// the XDG rules ask; folders that exist keep their mode. 0, or the errno of
// the first failure.
int MakeFolders(const std::string& folder) {
  for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
    const std::string part = folder.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (at == std::string::npos) break;
  }
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string HistoryFilePath(const char* xdgStateHome, const char* home) {
  if (xdgStateHome != nullptr && xdgStateHome[0] == '/') return std::string(xdgStateHome) + kPathInStateFolder;
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state" + kPathInStateFolder;
  return std::string();
}

std::string UserHistoryFilePath() {
  const char* home = ::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const struct passwd* user = ::getpwuid(::getuid());
    if (user != nullptr) home = user->pw_dir;
  }
  return HistoryFilePath(::getenv("XDG_STATE_HOME"), home);
}

HistoryFile::HistoryFile(std::string path, size_t limit, size_t lineLimit)
    : path_(std::move(path)), limit_(limit), lineLimit_(lineLimit) {}

void HistoryFile::GiveUp(const std::string& what, int error, Reasons* why) {
  writable_ = false;
  AddNote(why, "the shell's history is not kept: {0}: {1}", "不保存命令历史：{0}：{1}",
          {what, std::strerror(error)});
}

void HistoryFile::Load(Reasons* why) {
  lines_.clear();
  linesInFile_ = 0;
  if (path_.empty()) {
    writable_ = false;
    AddNote(why, "the shell's history is not kept: there is no home folder (set HOME or XDG_STATE_HOME)",
            "不保存命令历史：没有主目录（请设置 HOME 或 XDG_STATE_HOME）");
    return;
  }
  const std::string folder = path_.substr(0, path_.rfind('/'));
  if (const int error = MakeFolders(folder)) return GiveUp(folder, error, why);
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) GiveUp(path_, errno, why);
    return;
  }
  // Only a regular file ends: a device or a FIFO there could be read for ever.
  struct stat status {};
  FILE* file = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? ::fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    ::close(fd);
    writable_ = false;
    AddNote(why, "the shell's history is not kept: {0} is no regular file", "不保存命令历史：{0} 不是普通文件",
            {path_});
    return;
  }
  const auto nextByte = [file] { return getc(file); };
  std::string line;
  for (LineRead read; (read = ReadBoundedLine(nextByte, line, lineLimit_)) != LineRead::End;) {
    ++linesInFile_;
    if (read == LineRead::TooLong) {
      SkipRestOfLine(nextByte);
      continue;
    }
    if (line.empty() || line.find('\0') != std::string::npos) continue;
    lines_.push_back(line);
    if (lines_.size() > limit_) lines_.pop_front();
  }
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error != 0) return GiveUp(path_, error, why);
  if (linesInFile_ > limit_) Rewrite(why);
}

// The file anew with the lines kept, through a new file beside it renamed
// over it: a failure leaves the old one as it was.
bool HistoryFile::Rewrite(Reasons* why) {
  std::string temporary = path_ + ".tmp-XXXXXX";
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    GiveUp(path_, errno, why);
    return false;
  }
  std::string text;
  for (const std::string& line : lines_) text += line + '\n';
  bool done = WriteAll(fd, text.data(), text.size());
  int error = done ? 0 : errno;
  if (::close(fd) != 0 && done) {
    done = false;
    error = errno;
  }
  if (done && std::rename(temporary.c_str(), path_.c_str()) != 0) {
    done = false;
    error = errno;
  }
  if (!done) {
    ::unlink(temporary.c_str());
    GiveUp(path_, error, why);
    return false;
  }
  linesInFile_ = lines_.size();
  return true;
}

bool HistoryFile::Add(const std::string& line, Reasons* why) {
  if (line.empty() || (!lines_.empty() && lines_.back() == line)) return false;
  lines_.push_back(line);
  if (lines_.size() > limit_) lines_.pop_front();
  if (!writable_) return true;
  // Other sessions append too: the file is cut back only when it has grown
  // well past the limit.
  if (linesInFile_ >= 2 * limit_) {
    Rewrite(why);
    return true;
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    GiveUp(path_, errno, why);
    return true;
  }
  const std::string written = line + '\n';
  const bool wrote = WriteAll(fd, written.data(), written.size());
  const int error = wrote ? 0 : errno;
  ::close(fd);
  if (!wrote) {
    GiveUp(path_, error, why);
    return true;
  }
  ++linesInFile_;
  return true;
}

}  // namespace platform
