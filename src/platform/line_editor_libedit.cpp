// libedit (BSD editline) as the shell's line editor: emacs keys (or what
// ~/.editrc asks for), the history on the arrow keys, Tab completion from
// the shell, and Ctrl+C abandoning the line rather than ending the tool.
//
// Signals are taken over only while a line is read: SIGINT (Ctrl+C) and
// SIGWINCH are blocked and noted, and let through only while waiting for a
// key, so that neither can be lost between a check and the wait. Whatever
// the tool had set for them comes back when the line is read: a job started
// from the prompt handles Ctrl+C its own way.
#include <errno.h>
#include <histedit.h>
#include <locale.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/history_file.h"
#include "platform/line_editor.h"

namespace platform {

namespace {

volatile sig_atomic_t interruptNoted = 0;
volatile sig_atomic_t sizeChangeNoted = 0;

void NoteInterrupt(int) { interruptNoted = 1; }
void NoteSizeChange(int) { sizeChangeNoted = 1; }

// What a noted Ctrl+C becomes: the key bound to abandoning the line. The
// terminal sends the same byte when its signals are off.
constexpr wchar_t kAbandonKey = L'\x03';

// The user's character set while libedit works, so that it reads and shows
// multibyte text (UTF-8, GBK) as the terminal does; the rest of the tool
// stays in the "C" locale, which the HID library and the number rule see.
class CharacterLocale {
 public:
  CharacterLocale() {
    const char* now = setlocale(LC_CTYPE, nullptr);
    saved_ = now != nullptr ? now : "C";
    setlocale(LC_CTYPE, "");
  }
  ~CharacterLocale() { setlocale(LC_CTYPE, saved_.c_str()); }
  CharacterLocale(const CharacterLocale&) = delete;
  CharacterLocale& operator=(const CharacterLocale&) = delete;

 private:
  std::string saved_;
};

// SIGINT and SIGWINCH noted while a line is read. An ignored SIGINT stays
// ignored (a tool started in the background).
class PromptSignals {
 public:
  PromptSignals() {
    interruptNoted = 0;
    sizeChangeNoted = 0;
    Note(SIGINT, NoteInterrupt, oldInterrupt_);
    Note(SIGWINCH, NoteSizeChange, oldSizeChange_);
    sigset_t noted;
    sigemptyset(&noted);
    sigaddset(&noted, SIGINT);
    sigaddset(&noted, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &noted, &oldMask_);
    waitMask_ = oldMask_;
    sigdelset(&waitMask_, SIGINT);
    sigdelset(&waitMask_, SIGWINCH);
  }
  ~PromptSignals() {
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    sigaction(SIGINT, &oldInterrupt_, nullptr);
    sigaction(SIGWINCH, &oldSizeChange_, nullptr);
    interruptNoted = 0;
  }
  PromptSignals(const PromptSignals&) = delete;
  PromptSignals& operator=(const PromptSignals&) = delete;

  // The signal mask to wait for a key with: the noted signals let through.
  const sigset_t& waitMask() const { return waitMask_; }

 private:
  static void Note(int signal, void (*handler)(int), struct sigaction& old) {
    sigaction(signal, nullptr, &old);
    if (old.sa_handler == SIG_IGN) return;
    struct sigaction noting {};
    noting.sa_handler = handler;
    sigemptyset(&noting.sa_mask);
    noting.sa_flags = 0;  // no SA_RESTART: the wait for a key ends with EINTR
    sigaction(signal, &noting, nullptr);
  }

  struct sigaction oldInterrupt_ {};
  struct sigaction oldSizeChange_ {};
  sigset_t oldMask_;
  sigset_t waitMask_;
};

// Characters in text, for libedit's counts (text in the current locale).
int CharacterCount(const std::string& text) {
  const size_t count = mbstowcs(nullptr, text.c_str(), 0);
  return static_cast<int>(count == static_cast<size_t>(-1) ? text.size() : count);
}

// The bytes that every candidate starts with, never ending inside a
// multibyte character.
std::string CommonPrefix(const std::vector<CompletionCandidate>& candidates) {
  std::string prefix = candidates.front().text;
  for (const CompletionCandidate& candidate : candidates) {
    const auto differ = std::mismatch(prefix.begin(), prefix.end(), candidate.text.begin(), candidate.text.end());
    prefix.erase(differ.first, prefix.end());
  }
  size_t whole = 0;
  mbstate_t state{};
  while (whole < prefix.size()) {
    const size_t used = mbrlen(prefix.data() + whole, prefix.size() - whole, &state);
    if (used == 0 || used > prefix.size() - whole) break;  // incomplete or invalid
    whole += used;
  }
  prefix.resize(whole);
  return prefix;
}

// How a candidate is listed: a path by its last part ("sub/", "app.bin").
std::string ShownName(const std::string& text) {
  const size_t slash = text.size() > 1 ? text.rfind('/', text.size() - 2) : std::string::npos;
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

class EditLineEditor final : public LineEditor {
 public:
  explicit EditLineEditor(const LineEditorSetup& setup)
      : setup_(setup), historyFile_(UserHistoryFilePath(), setup.historyLimit, setup.lineLimit) {}
  ~EditLineEditor() override {
    if (editLine_ != nullptr) el_end(editLine_);
    if (history_ != nullptr) history_end(history_);
  }

  bool Start(Reasons* why) {
    CharacterLocale locale;
    editLine_ = el_init("orvel-dfu", stdin, stdout, stderr);
    history_ = history_init();
    if (editLine_ == nullptr || history_ == nullptr) return false;
    HistEvent event;
    history(history_, &event, H_SETSIZE, static_cast<int>(setup_.historyLimit));
    history(history_, &event, H_SETUNIQUE, 1);
    el_set(editLine_, EL_CLIENTDATA, this);
    el_set(editLine_, EL_EDITOR, "emacs");
    el_set(editLine_, EL_SIGNAL, 0);
    el_set(editLine_, EL_PROMPT, PromptText);
    el_set(editLine_, EL_HIST, history, history_);
    el_set(editLine_, EL_GETCFN, ReadCharacter);
    // The wide form keeps the names as given; the narrow one copies them and
    // never frees the copies.
    el_wset(editLine_, EL_ADDFN, L"orvel-complete", L"Complete the word before the cursor", CompleteWord);
    el_wset(editLine_, EL_ADDFN, L"orvel-abandon", L"Abandon the line and prompt again", AbandonLine);
    el_set(editLine_, EL_BIND, "^I", "orvel-complete", nullptr);
    el_set(editLine_, EL_BIND, "^C", "orvel-abandon", nullptr);
    el_source(editLine_, nullptr);  // ~/.editrc, when there is one
    historyFile_.Load(why);
    for (const std::string& line : historyFile_.lines()) history(history_, &event, H_ENTER, line.c_str());
    return true;
  }

  Outcome ReadLine(std::string& line) override {
    CharacterLocale locale;
    PromptSignals signals;
    waitMask_ = &signals.waitMask();
    abandoned_ = false;
    // The terminal in editing mode before the prompt shows: libedit would
    // show it first, and a key typed in between would be taken by the
    // terminal's own line editing (Ctrl+D lost, keys echoed twice).
    el_set(editLine_, EL_PREP_TERM, 1);
    int count = 0;
    const char* text = el_gets(editLine_, &count);
    waitMask_ = nullptr;
    if (abandoned_) return Outcome::Abandoned;
    if (text == nullptr || count <= 0) {
      // Whatever comes next (the user's own shell) starts on a line of its own.
      std::fputc('\n', stdout);
      std::fflush(stdout);
      return Outcome::End;
    }
    line.assign(text, static_cast<size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return Outcome::Line;
  }

  void Remember(const std::string& line, Reasons* why) override {
    if (!historyFile_.Add(line, why)) return;
    HistEvent event;
    history(history_, &event, H_ENTER, line.c_str());
  }

 private:
  static EditLineEditor& Of(EditLine* editLine) {
    void* data = nullptr;
    el_get(editLine, EL_CLIENTDATA, &data);
    return *static_cast<EditLineEditor*>(data);
  }

  static char* PromptText(EditLine* editLine) { return Of(editLine).setup_.prompt.data(); }

  // One character from the terminal, waiting with the noted signals let
  // through: a Ctrl+C becomes the abandon key, a new window size is passed on.
  static int ReadCharacter(EditLine* editLine, wchar_t* character) {
    const EditLineEditor& self = Of(editLine);
    mbstate_t state{};
    for (;;) {
      if (interruptNoted) {
        interruptNoted = 0;
        *character = kAbandonKey;
        return 1;
      }
      if (sizeChangeNoted) {
        sizeChangeNoted = 0;
        el_resize(editLine);
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(STDIN_FILENO, &readable);
      if (pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, self.waitMask_) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      char byte = 0;
      const ssize_t got = read(STDIN_FILENO, &byte, 1);
      if (got == 0) return 0;
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      const size_t used = mbrtowc(character, &byte, 1, &state);
      if (used == static_cast<size_t>(-2)) continue;  // more bytes of the character to come
      if (used == static_cast<size_t>(-1)) {
        state = mbstate_t{};  // no character in this locale: dropped
        continue;
      }
      return 1;
    }
  }

  // Ctrl+C: "^C" shown at the end of the line, then a new line; the line is
  // not returned.
  static unsigned char AbandonLine(EditLine* editLine, int) {
    Of(editLine).abandoned_ = true;
    const LineInfoW* line = el_wline(editLine);
    el_cursor(editLine, static_cast<int>(line->lastchar - line->cursor));
    el_insertstr(editLine, "^C");
    el_push(editLine, "\n");
    return CC_REFRESH;
  }

  static unsigned char CompleteWord(EditLine* editLine, int) {
    EditLineEditor& self = Of(editLine);
    if (!self.setup_.complete) return CC_REFRESH_BEEP;
    const LineInfo* line = el_line(editLine);
    const std::string beforeCursor(line->buffer, line->cursor);
    const Completion completion = self.setup_.complete(beforeCursor);
    if (completion.candidates.empty() || completion.from > beforeCursor.size()) return CC_REFRESH_BEEP;
    const std::string typed = beforeCursor.substr(completion.from);
    if (completion.candidates.size() == 1) {
      const CompletionCandidate& only = completion.candidates.front();
      Replace(editLine, typed, only.finished ? only.text + " " : only.text);
      return CC_REFRESH;
    }
    const std::string common = CommonPrefix(completion.candidates);
    if (common.size() > typed.size()) {
      Replace(editLine, typed, common);
      return CC_REFRESH;
    }
    List(editLine, completion.candidates);
    return CC_REDISPLAY;
  }

  static void Replace(EditLine* editLine, const std::string& typed, const std::string& text) {
    if (!typed.empty()) el_deletestr(editLine, CharacterCount(typed));
    if (!text.empty()) el_insertstr(editLine, text.c_str());
  }

  // The candidates in columns below the line; the line is drawn again after.
  static void List(EditLine* editLine, const std::vector<CompletionCandidate>& candidates) {
    FILE* out = nullptr;
    if (el_get(editLine, EL_GETFP, 1, &out) != 0 || out == nullptr) out = stdout;
    int columns = 80;
    el_get(editLine, EL_GETTC, "co", static_cast<void*>(&columns), nullptr);
    std::vector<std::string> names;
    int widest = 1;
    for (const CompletionCandidate& candidate : candidates) {
      names.push_back(ShownName(candidate.text));
      widest = std::max(widest, CharacterCount(names.back()));
    }
    const int perRow = std::max(1, columns / (widest + 2));
    std::fputc('\n', out);
    for (size_t i = 0; i < names.size(); ++i) {
      const bool rowEnds = (i + 1) % static_cast<size_t>(perRow) == 0 || i + 1 == names.size();
      std::fputs(names[i].c_str(), out);
      if (!rowEnds) std::fprintf(out, "%*s", widest + 2 - CharacterCount(names[i]), "");
      if (rowEnds) std::fputc('\n', out);
    }
    std::fflush(out);
  }

  LineEditorSetup setup_;
  HistoryFile historyFile_;
  EditLine* editLine_ = nullptr;
  History* history_ = nullptr;
  const sigset_t* waitMask_ = nullptr;
  bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<LineEditor> OpenTerminalLineEditor(const LineEditorSetup& setup, Reasons* why) {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return nullptr;
  auto editor = std::make_unique<EditLineEditor>(setup);
  if (!editor->Start(why)) return nullptr;
  return editor;
}

}  // namespace platform
