// The shell's history on disk, kept across sessions: one line of text per
// line typed, in the user's state folder, readable by the user alone.
// POSIX only: Windows consoles keep their own history.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "common/reason.h"

namespace platform {

// "$XDG_STATE_HOME/orvel-dfu/history", or "$HOME/.local/state/orvel-dfu/history"
// when XDG_STATE_HOME is unset, empty or relative (the XDG base directory
// rules); "" when neither gives a folder. Either argument may be nullptr.
std::string HistoryFilePath(const char* xdgStateHome, const char* home);
// The same from the environment, with the user's home folder from the
// password database when HOME is unset.
std::string UserHistoryFilePath();

class HistoryFile {
 public:
  // Keeps the last `limit` lines, each at most lineLimit bytes long.
  HistoryFile(std::string path, size_t limit, size_t lineLimit);

  // Reads the lines kept so far, making the file's folder (mode 0700) when
  // it is missing, and cuts the file down to `limit` lines when it holds
  // more. A file that cannot be read or a folder that cannot be made gives
  // one note, and the history is then kept for this session only.
  void Load(Reasons* why);
  // The line as the newest entry, appended to the file (created with mode
  // 0600). An empty line, or one equal to the newest entry, is not kept.
  // False when it was not kept. The first failure to write gives one note;
  // nothing is written after it.
  bool Add(const std::string& line, Reasons* why);

  // Oldest first.
  const std::deque<std::string>& lines() const { return lines_; }
  const std::string& path() const { return path_; }
  bool writable() const { return writable_; }

 private:
  void GiveUp(const std::string& what, int error, Reasons* why);
  bool Rewrite(Reasons* why);

  std::string path_;
  size_t limit_;
  size_t lineLimit_;
  std::deque<std::string> lines_;
  size_t linesInFile_ = 0;
  bool writable_ = true;
};

}  // namespace platform
