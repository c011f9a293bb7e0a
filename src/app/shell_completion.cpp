#include "app/shell_completion.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "common/ascii_case.h"
#include "device/device_search.h"
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

// The words before the cursor, split at every space as the shell splits a
// line (empty words included), and the word being typed.
struct TypedLine {
  std::vector<std::string> words;
  std::string typed;
  size_t typedFrom = 0;
};

TypedLine SplitAtCursor(const std::string& beforeCursor) {
  TypedLine line;
  size_t start = 0;
  for (size_t space = beforeCursor.find(' '); space != std::string::npos; space = beforeCursor.find(' ', start)) {
    line.words.push_back(beforeCursor.substr(start, space - start));
    start = space + 1;
  }
  line.typedFrom = start;
  line.typed = beforeCursor.substr(start);
  return line;
}

const PromptOption* FindPromptOption(const std::vector<PromptOption>& options, const std::string& name) {
  for (const PromptOption& option : options) {
    if (EqualsIgnoringAsciiCase(name, option.name)) return &option;
  }
  return nullptr;
}

// "--name=VALUE" gives its option and carries its first value.
bool IsLongWithValue(const std::string& word) {
  return word.size() > 2 && word[0] == '-' && word[1] == '-' && word.find('=') != std::string::npos;
}

// Which value of which option the word being typed is, read through the
// words after "dfu" as the option parser reads them; option nullptr when
// the word is no option's value.
struct ValueSlot {
  const PromptOption* option = nullptr;
  size_t index = 0;
};

ValueSlot SlotOfTypedWord(const std::vector<PromptOption>& options, const std::vector<std::string>& words) {
  size_t i = 1;  // words[0] is "dfu"
  while (i < words.size()) {
    const std::string& word = words[i];
    const bool valueInWord = IsLongWithValue(word);
    const PromptOption* option = FindPromptOption(options, valueInWord ? word.substr(0, word.find('=')) : word);
    if (option == nullptr || option->valueWords == 0) {
      ++i;
      continue;
    }
    const size_t valuesAfter = option->valueWords - (valueInWord ? 1 : 0);
    const size_t wordsAfter = words.size() - i - 1;
    if (wordsAfter < valuesAfter) return {option, wordsAfter + (valueInWord ? 1 : 0)};
    i += 1 + valuesAfter;
  }
  return {};
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
std::vector<CompletionCandidate> ValueCandidates(const ValueSlot& slot, const std::string& prefix,
                                                 const std::string& typed, const ShellCompletionSources& sources) {
  const std::string name = AsciiLowerCase(slot.option->name);
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
  const std::vector<PromptOption> options = PromptOptions();
  const ValueSlot slot = SlotOfTypedWord(options, line.words);
  if (slot.option != nullptr) return ValueCandidates(slot, "", line.typed, sources);
  if (IsLongWithValue(line.typed)) {
    const std::string name = line.typed.substr(0, line.typed.find('=') + 1);
    const PromptOption* option = FindPromptOption(options, name.substr(0, name.size() - 1));
    if (option == nullptr || option->valueWords == 0) return {};
    return ValueCandidates({option, 0}, name, line.typed, sources);
  }
  return OptionCandidates(options, line.typed);
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
  const DfuSettings defaults;
  search.vendor_id = defaults.vendor_id;
  search.product_id = defaults.product_id;
  search.interface_number = defaults.interface_number;
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
