#include "options/dfu_options.h"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "options/option_table.h"
#include "options/skipped_words.h"

namespace {

// pg_path is stored in a field of 512 bytes with a terminating zero.
constexpr size_t kLongestProgramPath = 511;

// A word as an option: "--name=VALUE" carries its first value in the word.
struct OptionWord {
  const OptionSpec* option = nullptr;
  bool valueInWord = false;
  std::string value;
  // How many of the words after it are its values.
  size_t ValuesAfter() const {
    return option == nullptr || option->valueWords == 0 ? 0 : option->valueWords - (valueInWord ? 1 : 0);
  }
};

OptionWord ReadOptionWord(const std::string& word, OptionNameCase nameCase) {
  OptionWord read;
  const size_t sign = IsLongWord(word) ? word.find('=') : std::string::npos;
  read.option = FindOption(word.substr(0, sign), nameCase);
  if (sign != std::string::npos) {
    read.valueInWord = true;
    read.value = word.substr(sign + 1);
  }
  return read;
}

void RefuseIncompleteOption(const std::vector<std::string>& words, size_t at, const OptionSpec& option,
                            Reasons* why) {
  AddError(why, "'{0}' is incomplete: write {1} (for example {2})", "“{0}”不完整：应写作 {1}（例如 {2}）",
           {words[at], option.usage, option.example});
  for (size_t i = at + 1; i < words.size(); ++i) NoteCommaInValue(option.name, words[i], why);
}

// The words of one command line or dfu line, read option by option into
// settings.
class OptionReader {
 public:
  OptionReader(const std::vector<std::string>& words, OptionNameCase nameCase, Reasons* why, DfuSettings& settings)
      : words_(words), nameCase_(nameCase), why_(why), settings_(settings), skipped_(nameCase, why) {}

  // False at the first refusal. The rest of the words is then still looked
  // through for an action and the switches without values, without
  // reasons: a refused action ends without opening the shell, --quiet
  // anywhere on the line keeps the warnings written with the refusal quiet,
  // and --strict or --posix-exit keep a refused line from opening it.
  bool ReadAll() {
    size_t i = 0;
    while (i < words_.size()) {
      if (!ReadWordAt(i)) {
        LookForActionAndQuiet(i + 1);
        return false;
      }
    }
    return true;
  }

  SkippedWords& skipped() { return skipped_; }

 private:
  // Reads the word at i, and its values; i moves past them.
  bool ReadWordAt(size_t& i) {
    const std::string& word = words_[i];
    const OptionWord read = ReadOptionWord(word, nameCase_);
    const OptionSpec* option = read.option;
    if (option == nullptr) {
      skipped_.Skip(word);
      ++i;
      return true;
    }
    if (option->action != DfuAction::None && AtPrompt(nameCase_)) {
      skipped_.SkipCommandLineAction(word, *option);
      ++i;
      return true;
    }
    if (option->action != DfuAction::None && !RecordAction(*option)) return false;
    if (read.valueInWord && option->valueWords == 0) {
      AddError(why_, "'{0}' takes no value: write {1}", "“{0}”不带参数值：应写作 {1}", {word, option->usage});
      return false;
    }
    const size_t valuesAfter = read.ValuesAfter();
    if (i + valuesAfter >= words_.size()) {
      if (i + 1 == words_.size() && option->action == DfuAction::None) {
        skipped_.SkipIncompleteLast(word, *option);
        ++i;
        return true;
      }
      RefuseIncompleteOption(words_, i, *option, why_);
      return false;
    }
    std::vector<std::string> values;
    if (read.valueInWord) values.push_back(read.value);
    values.insert(values.end(), words_.begin() + static_cast<std::ptrdiff_t>(i + 1),
                  words_.begin() + static_cast<std::ptrdiff_t>(i + 1 + valuesAfter));
    if (option->take != nullptr && !option->take(settings_, values.data(), why_)) return false;
    skipped_.OptionTaken();
    i += 1 + valuesAfter;
    return true;
  }

  // One action per command line; naming the same one again changes nothing.
  bool RecordAction(const OptionSpec& option) {
    DfuAction& action = settings_.action;
    if (action == DfuAction::None || action == option.action) {
      action = option.action;
      return true;
    }
    AddError(why_, "'{0}' and '{1}' are both actions: give only one", "“{0}”和“{1}”都是独立操作：只能指定一个",
             {ActionName(action), option.name});
    return false;
  }

  void LookForActionAndQuiet(size_t from) {
    for (size_t i = from; i < words_.size();) {
      const OptionWord read = ReadOptionWord(words_[i], nameCase_);
      if (read.option != nullptr) {
        if (read.option->action != DfuAction::None && !AtPrompt(nameCase_) &&
            settings_.action == DfuAction::None) {
          settings_.action = read.option->action;
        }
        // Options without values (--quiet) need no checking.
        if (read.option->valueWords == 0 && read.option->take != nullptr) {
          read.option->take(settings_, nullptr, nullptr);
        }
      }
      i += 1 + read.ValuesAfter();
    }
  }

  const std::vector<std::string>& words_;
  OptionNameCase nameCase_;
  Reasons* why_;
  DfuSettings& settings_;
  SkippedWords skipped_;
};

// A wait bound means nothing to a job that does not wait.
void WarnAboutIdleTimeout(const DfuSettings& settings, Reasons* why) {
  if (settings.timeout_ms == 0 || settings.wait != 0) return;
  AddWarning(why, "--timeout was ignored: it bounds the wait of -w 1, and without it the device is looked for once",
             "--timeout 已忽略：它限制 -w 1 的等待时间；不等待时只查询一次设备");
}

// The station's options mean nothing to anything else, and a station waits
// for its boards by itself.
void WarnAboutStationOptions(const DfuSettings& settings, Reasons* why) {
  const bool station = settings.action == DfuAction::Station;
  if (!station && (settings.count != 0 || !settings.log_file.empty())) {
    AddWarning(why, "--count and --log were ignored: they work with --station only",
               "--count 和 --log 已忽略：它们只能与 --station 一起使用");
  }
  if (station && (settings.wait != 0 || settings.timeout_ms != 0)) {
    AddWarning(why, "-w and --timeout were ignored: a station waits for every board by itself",
               "-w 和 --timeout 已忽略：工位会自行等待每块板子");
  }
}

bool LoadProgramsOfJob(const DfuSettings& settings, ProgramImageList& programs, Reasons* why) {
  if (settings.programs.empty()) {
    AddError(why, "no program given: name one with -p addr pg_path (for example -p A000 app.bin)",
             "没有指定程序：请用 -p addr pg_path 指定（例如 -p A000 app.bin）");
    return false;
  }
  return LoadPrograms(settings, programs, why) == 1;
}

bool HasWarningSince(const Reasons& reasons, size_t from) {
  for (size_t i = from; i < reasons.size(); ++i) {
    if (reasons[i].severity == Severity::Warning) return true;
  }
  return false;
}

// --strict: every warning since from becomes an error. When nothing else
// refused the words, a note says why they were. True when there was one.
bool HoldToStrict(const DfuSettings& settings, Reasons& reasons, size_t from) {
  if (!settings.strict || !HasWarningSince(reasons, from)) return false;
  const bool refusedAnyway = std::any_of(reasons.begin() + static_cast<std::ptrdiff_t>(from), reasons.end(),
                                         [](const Reason& reason) { return reason.severity == Severity::Error; });
  for (size_t i = from; i < reasons.size(); ++i) {
    if (reasons[i].severity == Severity::Warning) reasons[i].severity = Severity::Error;
  }
  if (!refusedAnyway) AddNote(&reasons, "--strict turns these warnings into errors", "--strict 将这些警告视为错误");
  return true;
}

}  // namespace

PromptValueSlot PromptSlotOf(const std::vector<std::string>& before, const std::string& typed) {
  constexpr OptionNameCase kPrompt = OptionNameCase::Insensitive;
  for (size_t i = 0; i < before.size();) {
    const OptionWord read = ReadOptionWord(before[i], kPrompt);
    // An action at the prompt is skipped alone, without values.
    const bool takesValues = read.option != nullptr && read.option->action == DfuAction::None;
    const size_t valuesAfter = takesValues ? read.ValuesAfter() : 0;
    const size_t wordsAfter = before.size() - i - 1;
    if (wordsAfter < valuesAfter) return {read.option->name, wordsAfter + (read.valueInWord ? 1 : 0), false};
    i += 1 + valuesAfter;
  }
  const OptionWord read = ReadOptionWord(typed, kPrompt);
  if (read.valueInWord && read.option != nullptr && read.option->action == DfuAction::None &&
      read.option->valueWords > 0) {
    return {read.option->name, 0, true};
  }
  return {};
}

bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase, Reasons* why,
                     DfuSettings& settings, ProgramImageList& programs) {
  // --strict needs the warnings even when the caller does not.
  Reasons unasked;
  Reasons& reasons = why != nullptr ? *why : unasked;
  const size_t from = reasons.size();
  settings = DfuSettings{};  // as every parse starts them
  ClearProgramImageList(programs);
  OptionReader reader(words, nameCase, &reasons, settings);
  const bool read = reader.ReadAll();
  if (read && settings.action != DfuAction::Station) WarnAboutIdleTimeout(settings, &reasons);
  if (read) WarnAboutStationOptions(settings, &reasons);
  bool runsJob = read && settings.action == DfuAction::None;
  // A mistyped long option explains a missing program better than the
  // absence does.
  if (runsJob) {
    runsJob = !(settings.programs.empty() && reader.skipped().SomeDeferred()) &&
              LoadProgramsOfJob(settings, programs, &reasons);
  }
  if (settings.strict && HasWarningSince(reasons, from)) runsJob = false;
  reader.skipped().Settle(runsJob);
  HoldToStrict(settings, reasons, from);
  return runsJob;
}

bool LoadJobPrograms(const DfuSettings& settings, ProgramImageList& programs, Reasons* why) {
  Reasons unasked;
  Reasons& reasons = why != nullptr ? *why : unasked;
  const size_t from = reasons.size();
  const bool loaded = LoadProgramsOfJob(settings, programs, &reasons);
  return !HoldToStrict(settings, reasons, from) && loaded;
}

bool AddProgramEntry(DfuSettings& settings, uint32_t addr, std::string pg_path, Reasons* why) {
  const auto refuseEmpty = [&] {
    AddError(why, "the program path for address {0} is empty", "地址 {0} 的程序路径为空", {AddressText(addr)});
    return false;
  };
  if (pg_path.empty()) {
    return refuseEmpty();
  }
  if (pg_path.front() == '"') {
    pg_path.erase(0, pg_path.find_first_not_of('"'));
    if (pg_path.empty()) {
      return refuseEmpty();
    }
  }
  if (pg_path.back() == '"') {
    pg_path.erase(pg_path.find_last_not_of('"') + 1);
  }
  if (pg_path.size() > kLongestProgramPath) {
    AddError(why, "the program path '{0}' is {1} bytes long; the longest allowed is 511",
             "程序路径“{0}”长 {1} 字节，最多允许 511 字节", {pg_path, std::to_string(pg_path.size())});
    return false;
  }
  settings.programs.push_back(ProgramEntry{addr, std::move(pg_path), false, {}});
  return true;
}
