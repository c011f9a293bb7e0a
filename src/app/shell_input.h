// Where the shell's lines come from, and what every line must be: at most
// kLongestShellLine bytes long, without a NUL byte. A line that is not is
// refused with a reason, and the prompt comes again.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <string>

#include "app/app.h"
#include "common/reason.h"

// Long enough for any dfu line a person or a script writes; what is longer
// is not kept, so that input without line ends never grows memory.
constexpr size_t kLongestShellLine = 64 * 1024;
// Lines kept in the history file.
constexpr size_t kShellHistoryLines = 1000;

class ShellLineSource {
 public:
  enum class Outcome {
    Line,
    Skipped,  // refused (why says why) or abandoned with Ctrl+C: prompt again
    End,      // the input ended: the shell ends as with exit
  };

  virtual ~ShellLineSource() = default;
  // Shows the prompt and reads the next line.
  virtual Outcome Next(std::string& line, Reasons* why) = 0;
};

// The terminal's line editor when mode allows it, standard input and output
// are terminals and the build has one (why then gets a note if the history
// cannot be kept); the input stream read as it is otherwise.
std::unique_ptr<ShellLineSource> OpenShellLineSource(std::istream& input, ShellInput mode, Reasons* why);
