#include "app/shell_input.h"

#include <string>
#include <utility>

#include "app/shell_completion.h"
#include "common/line_reader.h"
#include "console/console.h"
#include "console/output.h"
#include "platform/line_editor.h"

namespace {

void RefuseLongLine(size_t lineNumber, Reasons* why) {
  AddError(why, "line {0} of the input is longer than {1} bytes and was skipped",
           "输入的第 {0} 行超过 {1} 字节，已跳过", {std::to_string(lineNumber), std::to_string(kLongestShellLine)});
}

// A NUL would end a word where the system reads it (a path), while the rest
// of the word is still there: "p1.bin\0zzz" would open p1.bin.
bool RefuseNulByte(const std::string& line, size_t lineNumber, Reasons* why) {
  const size_t at = line.find('\0');
  if (at == std::string::npos) return false;
  AddError(why, "line {0} of the input holds a NUL byte (byte {1}) and was skipped",
           "输入的第 {0} 行含有 NUL 字节（第 {1} 个字节），已跳过", {std::to_string(lineNumber), std::to_string(at + 1)});
  return true;
}

// The input as it is: a script, a pipe, a file, or a terminal where there
// is no line editor. The prompt goes to standard output before each line.
class StreamLineSource final : public ShellLineSource {
 public:
  explicit StreamLineSource(std::istream& input) : input_(input) {}

  Outcome Next(std::string& line, Reasons* why) override {
    std::streambuf* bytes = input_.rdbuf();
    const auto nextByte = [bytes] { return bytes->sbumpc(); };
    // The rest of a refused long line, after its reason was written.
    if (skipRest_ && bytes != nullptr) SkipRestOfLine(nextByte);
    skipRest_ = false;
    ConsoleOut() << kMessagePrefix << std::flush;
    if (bytes == nullptr) return Outcome::End;
    ++lineNumber_;
    switch (ReadBoundedLine(nextByte, line, kLongestShellLine)) {
      case LineRead::End:
        return Outcome::End;
      case LineRead::TooLong:
        RefuseLongLine(lineNumber_, why);
        skipRest_ = true;
        return Outcome::Skipped;
      case LineRead::Line:
        break;
    }
    return RefuseNulByte(line, lineNumber_, why) ? Outcome::Skipped : Outcome::Line;
  }

 private:
  std::istream& input_;
  size_t lineNumber_ = 0;
  bool skipRest_ = false;
};

// The terminal through the line editor, which writes the prompt itself.
class TerminalLineSource final : public ShellLineSource {
 public:
  explicit TerminalLineSource(std::unique_ptr<platform::LineEditor> editor) : editor_(std::move(editor)) {}

  Outcome Next(std::string& line, Reasons* why) override {
    ConsoleOut() << std::flush;
    ++lineNumber_;
    switch (editor_->ReadLine(line)) {
      case platform::LineEditor::Outcome::Abandoned:
        return Outcome::Skipped;
      case platform::LineEditor::Outcome::End:
        return Outcome::End;
      case platform::LineEditor::Outcome::Line:
        break;
    }
    if (line.size() > kLongestShellLine) {
      RefuseLongLine(lineNumber_, why);
      return Outcome::Skipped;
    }
    if (RefuseNulByte(line, lineNumber_, why)) return Outcome::Skipped;
    editor_->Remember(line, why);
    return Outcome::Line;
  }

 private:
  std::unique_ptr<platform::LineEditor> editor_;
  size_t lineNumber_ = 0;
};

platform::Completion CompleteAtPrompt(const std::string& beforeCursor) {
  return CompleteShellLine(beforeCursor, ShellCompletionSources{AttachedDeviceSelectors});
}

}  // namespace

std::unique_ptr<ShellLineSource> OpenShellLineSource(std::istream& input, ShellInput mode, Reasons* why) {
  if (mode == ShellInput::TerminalWhenPossible) {
    platform::LineEditorSetup setup;
    setup.prompt = std::string(kMessagePrefix);
    setup.complete = CompleteAtPrompt;
    setup.historyLimit = kShellHistoryLines;
    setup.lineLimit = kLongestShellLine;
    std::unique_ptr<platform::LineEditor> editor = platform::OpenTerminalLineEditor(setup, why);
    if (editor != nullptr) return std::make_unique<TerminalLineSource>(std::move(editor));
  }
  return std::make_unique<StreamLineSource>(input);
}
