// The shell's line editor on a terminal: editing keys, the history of
// earlier lines on the arrow keys, Tab completion. One implementation per
// build, chosen by it: libedit's (line_editor_libedit.cpp) where the build
// found libedit, none otherwise (line_editor_none.cpp), and the shell then
// reads its input as it is. Windows consoles edit lines themselves.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/reason.h"

namespace platform {

struct CompletionCandidate {
  std::string text;
  // A finished word gets a space after it; an unfinished one ("folder/",
  // "--device=") is continued by the next Tab.
  bool finished = true;
};

// What Tab offers for the text before the cursor: candidates that replace
// the text from byte `from` up to the cursor.
struct Completion {
  size_t from = 0;
  std::vector<CompletionCandidate> candidates;
};

using Completer = std::function<Completion(const std::string& beforeCursor)>;

class LineEditor {
 public:
  enum class Outcome {
    Line,       // a line was entered (without its line end)
    Abandoned,  // Ctrl+C: the line is dropped; prompt again
    End,        // Ctrl+D on an empty line, or the terminal is gone
  };

  virtual ~LineEditor() = default;
  // Shows the prompt and reads a line.
  virtual Outcome ReadLine(std::string& line) = 0;
  // Adds a line to the history, as the newest: what the arrow keys recall,
  // and the user's history file (history_file.h). The first time the file
  // cannot be written, why gets a note.
  virtual void Remember(const std::string& line, Reasons* why) = 0;
};

struct LineEditorSetup {
  std::string prompt;
  Completer complete;
  size_t historyLimit = 1000;    // lines kept in the history file
  size_t lineLimit = 64 * 1024;  // the longest line read back from it
};

// The terminal's line editor with the user's history loaded, or nullptr when
// the build has none or standard input and standard output are not both
// terminals. why gets a note when the history cannot be kept.
std::unique_ptr<LineEditor> OpenTerminalLineEditor(const LineEditorSetup& setup, Reasons* why);

}  // namespace platform
