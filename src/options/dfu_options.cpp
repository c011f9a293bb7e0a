#include "options/dfu_options.h"

#include <utility>

#include "common/ascii_case.h"
#include "options/number_rule.h"

DfuSettings theDfuSettings;

namespace {

// pg_path is stored in a field of 512 bytes with a terminating zero.
constexpr size_t kLongestProgramPath = 511;
constexpr uint8_t kLargestMode = 1;

void ResetDfuSettings() {
  theDfuSettings.vendor_id = 0x0000;
  theDfuSettings.product_id = 0xC081;
  theDfuSettings.interface_number = -1;
  theDfuSettings.wait = 0;
  theDfuSettings.flash_size = 1;
  theDfuSettings.mode = 0;
  theDfuSettings.programs.clear();
}

uint8_t LowByte(int32_t number) { return static_cast<uint8_t>(static_cast<uint32_t>(number) & 0xFFu); }

// "A000,app.bin" as the address of -p: the help's command format shows a
// comma there, but the words are separated by spaces.
void NoteCommaInValue(const char* name, const std::string& word, Reasons* why) {
  if (word.find(',') == std::string::npos) return;
  AddNote(why, "'{0}' is one word: the values of {1} are separated by spaces, not commas",
          "“{0}”是一个词：{1} 的各个参数之间用空格分隔，而不是逗号", {word, name});
}

// A base-10 option value; false, with the reason, when it is no number.
bool ReadOptionNumber(const char* name, const std::string& word, int32_t& number, Reasons* why) {
  switch (ConvertInt32(word, 10, number)) {
    case NumberError::None:
      break;
    case NumberError::Invalid:
      AddError(why, "{0} needs a number, not '{1}'", "{0} 后面需要数字，而不是“{1}”", {name, word});
      return false;
    case NumberError::OutOfRange:
      AddError(why, "{0} {1}: the number is out of range (-2147483648 to 2147483647)",
               "{0} {1}：数值超出范围（-2147483648 至 2147483647）", {name, word});
      return false;
  }
  if (!TextAfterNumber(word, 10).empty()) {
    AddWarning(why, "'{1}' read as {0} {2}: the text after the digits is ignored",
               "“{1}”读作 {0} {2}：数字后面的文字被忽略", {name, word, std::to_string(number)});
  }
  return true;
}

// Any value is accepted; only its low 8 bits count.
bool TakeWait(const std::string* values, Reasons* why) {
  int32_t number = 0;
  if (!ReadOptionNumber("-w", values[0], number, why)) return false;
  theDfuSettings.wait = LowByte(number);
  if (number == 0 || number == 1) return true;
  if (theDfuSettings.wait != 0) {
    AddWarning(why, "-w {0} means waiting for the device, as -w 1 does",
               "-w {0} 表示等待设备连接，与 -w 1 相同", {std::to_string(number)});
  } else {
    AddWarning(why, "-w {0} means no waiting, as -w 0 does: only its low 8 bits count",
               "-w {0} 表示不等待，与 -w 0 相同：只取其低 8 位", {std::to_string(number)});
  }
  return true;
}

struct LimitedByteTexts {
  const char* wrappedEnglish;  // {0} the number, {1} its low 8 bits
  const char* wrappedChinese;
  const char* refusedEnglish;  // {0} the number
  const char* refusedChinese;
};

// A value whose low 8 bits must not exceed largest ("-s 258" selects 2).
bool TakeLimitedByte(const char* name, const std::string& word, uint8_t largest,
                     const LimitedByteTexts& texts, uint8_t& field, Reasons* why) {
  int32_t number = 0;
  if (!ReadOptionNumber(name, word, number, why)) return false;
  const uint8_t value = LowByte(number);
  if (value > largest) {
    AddError(why, texts.refusedEnglish, texts.refusedChinese, {std::to_string(number)});
    return false;
  }
  if (value != number) {
    AddWarning(why, texts.wrappedEnglish, texts.wrappedChinese,
               {std::to_string(number), std::to_string(value)});
  }
  field = value;
  return true;
}

bool TakeFlashSize(const std::string* values, Reasons* why) {
  static constexpr LimitedByteTexts kTexts = {
      "-s {0} selects flash size {1}: only its low 8 bits count",
      "-s {0} 选择芯片程序区大小 {1}：只取其低 8 位",
      "-s {0} is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)",
      "-s {0} 不是有效的芯片程序区大小：可用 0（256 KB）、1（512 KB）或 2（1 MB）"};
  return TakeLimitedByte("-s", values[0], kLargestFlashSize, kTexts, theDfuSettings.flash_size, why);
}

bool TakeMode(const std::string* values, Reasons* why) {
  static constexpr LimitedByteTexts kTexts = {
      "-m {0} selects mode {1}: only its low 8 bits count",
      "-m {0} 选择 DFU 模式 {1}：只取其低 8 位",
      "-m {0} is no mode: use 0 (download and verify) or 1 (download only)",
      "-m {0} 不是有效的 DFU 模式：可用 0（下载并校验）或 1（仅下载）"};
  return TakeLimitedByte("-m", values[0], kLargestMode, kTexts, theDfuSettings.mode, why);
}

bool TakeProgram(const std::string* values, Reasons* why) {
  const std::string& word = values[0];
  uint32_t addr = 0;
  switch (ConvertAddress(word, addr)) {
    case NumberError::None:
      break;
    case NumberError::Invalid:
      AddError(why, "'{0}' is no address: -p needs a hexadecimal address (for example A000) before the path",
               "“{0}”不是地址：-p 后面需要先写十六进制地址（例如 A000），再写路径", {word});
      return false;
    case NumberError::OutOfRange:
      AddError(why, "address '{0}' is out of range: the largest is FFFFFFFF", "地址“{0}”超出范围：最大为 FFFFFFFF",
               {word});
      return false;
  }
  if (!TextAfterNumber(word, 16).empty()) {
    AddWarning(why, "'{0}' read as address {1}: the text after the digits is ignored",
               "“{0}”读作地址 {1}：数字后面的文字被忽略", {word, AddressText(addr)});
    NoteCommaInValue("-p", word, why);
  }
  return AddProgramEntry(addr, values[1], why);
}

// One option: its name, how many words after it are its values, how it is
// written (for the reasons about an incomplete one), and what it does with
// its values. Every option the parser knows is a row of kOptions.
struct OptionSpec {
  const char* name;
  size_t valueWords;
  const char* usage;
  const char* example;
  bool (*take)(const std::string* values, Reasons* why);
};

constexpr OptionSpec kOptions[] = {
    {"-w", 1, "-w wait", "-w 1", TakeWait},
    {"-s", 1, "-s flash_size", "-s 2", TakeFlashSize},
    {"-m", 1, "-m mode", "-m 1", TakeMode},
    {"-p", 2, "-p addr pg_path", "-p A000 app.bin", TakeProgram},
};

const OptionSpec* FindOption(const std::string& word, OptionNameCase nameCase) {
  for (const OptionSpec& option : kOptions) {
    if (nameCase == OptionNameCase::Insensitive ? EqualsIgnoringAsciiCase(word, option.name)
                                                : word == option.name) {
      return &option;
    }
  }
  return nullptr;
}

// Words that are no options are skipped. Empty words (two blanks in a row
// at the prompt) and "dfu" are skipped as a matter of course; any other
// word may be a mistake. Plain words right after an unknown option are
// taken as its values: the warning about that option covers them.
class SkippedWords {
 public:
  SkippedWords(OptionNameCase nameCase, Reasons* why) : nameCase_(nameCase), why_(why) {}

  void OptionTaken() { afterUnknownOption_ = false; }

  void Skip(const std::string& word) {
    if (word.empty() || EqualsIgnoringAsciiCase(word, "dfu")) return;
    if (word[0] != '-') {
      if (afterUnknownOption_) return;
      AddWarning(why_, "'{0}' was ignored: it is no option and no option's value",
                 "“{0}”已忽略：它既不是选项，也不是选项的参数值", {word});
      return;
    }
    afterUnknownOption_ = true;
    WarnUnknownOption(word);
  }

  // The last word never starts an option: even "-w" there is skipped.
  void SkipLast(const std::string& word) {
    const OptionSpec* option = FindOption(word, nameCase_);
    if (option == nullptr) {
      Skip(word);
      return;
    }
    AddWarning(why_, "'{0}' at the end is incomplete and was ignored: write {1} (for example {2})",
               "末尾的“{0}”不完整，已忽略：应写作 {1}（例如 {2}）", {word, option->usage, option->example});
  }

 private:
  void WarnUnknownOption(const std::string& word) {
    const bool doubleDash = word.size() > 2 && word[1] == '-';
    if (doubleDash) {
      if (const OptionSpec* meant = FindOption(word.substr(1), nameCase_)) {
        AddWarning(why_, "'{0}' is no option and was ignored (did you mean '{1}'?)",
                   "“{0}”不是选项，已忽略（是否想用“{1}”？）", {word, meant->name});
        return;
      }
    } else if (nameCase_ == OptionNameCase::Exact) {
      if (const OptionSpec* meant = FindOption(word, OptionNameCase::Insensitive)) {
        AddWarning(why_,
                   "'{0}' is no option and was ignored: option names are case-sensitive on the command line "
                   "(did you mean '{1}'?)",
                   "“{0}”不是选项，已忽略：命令行上的选项名区分大小写（是否想用“{1}”？）", {word, meant->name});
        return;
      }
    }
    if (nameCase_ == OptionNameCase::Exact) {
      AddWarning(why_,
                 "'{0}' is no option and was ignored; the options are -w, -s, -m and -p (case-sensitive on "
                 "the command line)",
                 "“{0}”不是选项，已忽略；选项为 -w、-s、-m 和 -p（命令行上区分大小写）", {word});
    } else {
      AddWarning(why_, "'{0}' is no option and was ignored; the options are -w, -s, -m and -p",
                 "“{0}”不是选项，已忽略；选项为 -w、-s、-m 和 -p", {word});
    }
  }

  OptionNameCase nameCase_;
  Reasons* why_;
  bool afterUnknownOption_ = false;
};

void RefuseIncompleteOption(const std::vector<std::string>& words, size_t at, const OptionSpec& option,
                            Reasons* why) {
  AddError(why, "'{0}' is incomplete: write {1} (for example {2})", "“{0}”不完整：应写作 {1}（例如 {2}）",
           {words[at], option.usage, option.example});
  for (size_t i = at + 1; i < words.size(); ++i) NoteCommaInValue(option.name, words[i], why);
}

}  // namespace

bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase,
                     Reasons* why) {
  ResetDfuSettings();
  SkippedWords skipped(nameCase, why);
  // Every option takes a value, so the last word never starts one.
  size_t i = 0;
  while (i + 1 < words.size()) {
    const OptionSpec* option = FindOption(words[i], nameCase);
    if (option == nullptr) {
      skipped.Skip(words[i]);
      ++i;
      continue;
    }
    if (i + option->valueWords >= words.size()) {
      RefuseIncompleteOption(words, i, *option, why);
      return false;
    }
    if (!option->take(&words[i + 1], why)) return false;
    skipped.OptionTaken();
    i += 1 + option->valueWords;
  }
  if (i + 1 == words.size()) skipped.SkipLast(words[i]);
  if (theDfuSettings.programs.empty()) {
    AddError(why, "no program given: name one with -p addr pg_path (for example -p A000 app.bin)",
             "没有指定程序：请用 -p addr pg_path 指定（例如 -p A000 app.bin）");
    return false;
  }
  return LoadPrograms(why) == 1;
}

bool AddProgramEntry(uint32_t addr, std::string pg_path, Reasons* why) {
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
  theDfuSettings.programs.push_back(ProgramEntry{addr, std::move(pg_path)});
  return true;
}
