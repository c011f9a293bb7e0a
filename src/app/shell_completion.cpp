#include "app/shell_completion.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/app.h"
#include "common/ascii_case.h"
#include "device/device_search.h"
#include "dfu/connect.h"
#include "options/dfu_options.h"
#include "platform/ticks.h"

namespace {

using platform::Completion;
using platform::CompletionCandidate;

const char* const kCommands[] = {"help", "v", "exit", "language", "log", "dfu"};

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

void Offer(std::vector<CompletionCandidate>& candidates, const std::string& text, const std::string& typed,
           bool finished = true) {
  if (StartsWithIgnoringCase(text, typed)) candidates.push_back({text, finished});
}

// The words before the cursor, as the shell splits a line, and the word
// being typed.
struct TypedLine {
  std::vector<std::string> words;
  std::string typed;
  size_t typedFrom = 0;
};

TypedLine SplitAtCursor(const std::string& beforeCursor) {
  TypedLine line;
  line.typedFrom = beforeCursor.rfind(' ') + 1;  // 0 without a space
  line.words = SplitWords(beforeCursor.substr(0, line.typedFrom));
  line.typed = beforeCursor.substr(line.typedFrom);
  return line;
}

// The files and folders whose names start with what is typed after its last
// "/". Hidden ones only when a "." is typed; names with a space are left
// out, as a space ends a word at the prompt.
std::vector<CompletionCandidate> FileCandidates(const std::string& typed) {
  const size_t slash = typed.rfind('/');
  const std::string folderPart = slash == std::string::npos ? std::string() : typed.substr(0, slash + 1);
  const std::string namePart = typed.substr(folderPart.size());
  std::vector<CompletionCandidate> candidates;
  std::error_code error;
  namespace fs = std::filesystem;
  fs::directory_iterator entry(folderPart.empty() ? fs::path(".") : fs::path(folderPart),
                               fs::directory_options::skip_permission_denied, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.compare(0, namePart.size(), namePart) != 0 || name.find(' ') != std::string::npos) continue;
    if (name[0] == '.' && namePart.empty()) continue;
    std::error_code kindError;
    const bool folder = entry->is_directory(kindError);
    candidates.push_back({folderPart + name + (folder ? "/" : ""), !folder});
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const CompletionCandidate& a, const CompletionCandidate& b) { return a.text < b.text; });
  return candidates;
}

std::vector<CompletionCandidate> DeviceCandidates(const ShellCompletionSources& sources, const std::string& prefix,
                                                  const std::string& typed) {
  std::vector<CompletionCandidate> candidates;
  if (!sources.deviceSelectors) return candidates;
  for (const std::string& selector : sources.deviceSelectors()) Offer(candidates, prefix + selector, typed);
  return candidates;
}

// The values an option's value slot takes.
std::vector<CompletionCandidate> ValueCandidates(const PromptValueSlot& slot, const std::string& prefix,
                                                 const std::string& typed, const ShellCompletionSources& sources) {
  const std::string name = slot.option;
  std::vector<CompletionCandidate> candidates;
  std::vector<std::string> values;
  if (name == "-w" || name == "-m") values = {"0", "1"};
  if (name == "-s") values = {"0", "1", "2"};
  if (name == "-p" && slot.index == 0) values = {"FFFFFFFF"};  // an Intel HEX file's own address
  if (name == "-p" && slot.index == 1) return FileCandidates(typed);
  if (name == "--device") return DeviceCandidates(sources, prefix, typed);
  for (const std::string& value : values) Offer(candidates, prefix + value, typed);
  return candidates;
}

std::vector<CompletionCandidate> OptionCandidates(const std::vector<PromptOption>& options, const std::string& typed) {
  std::vector<CompletionCandidate> candidates;
  for (const PromptOption& option : options) {
    const std::string name = option.name;
    Offer(candidates, name, typed);
    if (name.size() > 2 && option.valueWords > 0) Offer(candidates, name + "=", typed, false);
  }
  return candidates;
}

std::vector<CompletionCandidate> DfuCandidates(const TypedLine& line, const ShellCompletionSources& sources) {
  const std::vector<std::string> before(line.words.begin() + 1, line.words.end());
  const PromptValueSlot slot = PromptSlotOf(before, line.typed);
  if (slot.option == nullptr) return OptionCandidates(PromptOptions(), line.typed);
  const std::string prefix = slot.inWord ? line.typed.substr(0, line.typed.find('=') + 1) : std::string();
  return ValueCandidates(slot, prefix, line.typed, sources);
}

// Lists the interfaces at once: a bootloader that is attached already shows.
class NoWaitClock final : public TickSource {
 public:
  int32_t Now() override { return NowTicks(); }
  void Sleep(int32_t) override {}
};

}  // namespace

Completion CompleteShellLine(const std::string& beforeCursor, const ShellCompletionSources& sources) {
  const TypedLine line = SplitAtCursor(beforeCursor);
  Completion completion;
  completion.from = line.typedFrom;
  if (line.words.empty()) {
    for (const char* command : kCommands) Offer(completion.candidates, command, line.typed);
    return completion;
  }
  const std::string& command = line.words[0];
  if (EqualsIgnoringAsciiCase(command, "dfu")) {
    completion.candidates = DfuCandidates(line, sources);
  } else if ((EqualsIgnoringAsciiCase(command, "language") || EqualsIgnoringAsciiCase(command, "log")) &&
             line.words.size() == 1) {
    for (const char* value : {"0", "1"}) Offer(completion.candidates, value, line.typed);
  }
  return completion;
}

std::vector<std::string> AttachedDeviceSelectors() {
  DeviceSearch search;
  CopyDeviceSettingsToSearch(DfuSettings{}, search);
  NoWaitClock clock;
  EnumerateDevices(search, clock);
  std::vector<std::string> selectors;
  for (const DeviceEntry& entry : search.entries) {
    for (const std::string& name : {entry.serial, entry.location}) {
      if (!name.empty() && name.find(' ') == std::string::npos) selectors.push_back(name);
    }
  }
  std::sort(selectors.begin(), selectors.end());
  selectors.erase(std::unique(selectors.begin(), selectors.end()), selectors.end());
  return selectors;
}
