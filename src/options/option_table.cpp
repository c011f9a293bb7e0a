#include "options/option_table.h"

#include <algorithm>
#include <vector>

#include "common/ascii_case.h"
#include "common/chip.h"
#include "options/number_rule.h"

namespace {

constexpr uint8_t kLargestMode = 1;

uint8_t LowByte(int32_t number) { return static_cast<uint8_t>(static_cast<uint32_t>(number) & 0xFFu); }

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
bool TakeWait(DfuSettings& settings, const std::string* values, Reasons* why) {
  int32_t number = 0;
  if (!ReadOptionNumber("-w", values[0], number, why)) return false;
  settings.wait = LowByte(number);
  if (number == 0 || number == 1) return true;
  if (settings.wait != 0) {
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

bool TakeFlashSize(DfuSettings& settings, const std::string* values, Reasons* why) {
  static constexpr LimitedByteTexts kTexts = {
      "-s {0} selects flash size {1}: only its low 8 bits count",
      "-s {0} 选择芯片程序区大小 {1}：只取其低 8 位",
      "-s {0} is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)",
      "-s {0} 不是有效的芯片程序区大小：可用 0（256 KB）、1（512 KB）或 2（1 MB）"};
  return TakeLimitedByte("-s", values[0], kLargestFlashSize, kTexts, settings.flash_size, why);
}

bool TakeMode(DfuSettings& settings, const std::string* values, Reasons* why) {
  static constexpr LimitedByteTexts kTexts = {
      "-m {0} selects mode {1}: only its low 8 bits count",
      "-m {0} 选择 DFU 模式 {1}：只取其低 8 位",
      "-m {0} is no mode: use 0 (download and verify) or 1 (download only)",
      "-m {0} 不是有效的 DFU 模式：可用 0（下载并校验）或 1（仅下载）"};
  return TakeLimitedByte("-m", values[0], kLargestMode, kTexts, settings.mode, why);
}

// A word taken as it is. An empty one, or one that starts with '-', is
// refused with the reason ({0} the word): most likely the value was left out
// and the next option taken for it.
bool TakeWordValue(const std::string& word, const char* english, const char* chinese, std::string& field,
                   Reasons* why) {
  if (word.empty() || word[0] == '-') {
    AddError(why, english, chinese, {word});
    return false;
  }
  field = word;
  return true;
}

// How a hexadecimal value is refused or read in an unexpected way: {0} the
// word, {1} the value read.
struct HexValueTexts {
  const char* invalidEnglish;
  const char* invalidChinese;
  const char* tooLargeEnglish;
  const char* tooLargeChinese;
  const char* readAsEnglish;
  const char* readAsChinese;
};

// A value by the number rule for addresses (hexadecimal, optional 0x).
bool TakeHexValue(const char* name, const std::string& word, const HexValueTexts& texts, uint32_t& value,
                  Reasons* why) {
  switch (ConvertAddress(word, value)) {
    case NumberError::None:
      break;
    case NumberError::Invalid:
      AddError(why, texts.invalidEnglish, texts.invalidChinese, {word});
      return false;
    case NumberError::OutOfRange:
      AddError(why, texts.tooLargeEnglish, texts.tooLargeChinese, {word});
      return false;
  }
  if (!TextAfterNumber(word, 16).empty()) {
    AddWarning(why, texts.readAsEnglish, texts.readAsChinese, {word, AddressText(value)});
    NoteCommaInValue(name, word, why);
  }
  return true;
}

// The texts for an address; only why a word is no address differs.
constexpr HexValueTexts AddressTexts(const char* invalidEnglish, const char* invalidChinese) {
  return {invalidEnglish,
          invalidChinese,
          "address '{0}' is out of range: the largest is FFFFFFFF",
          "地址“{0}”超出范围：最大为 FFFFFFFF",
          "'{0}' read as address {1}: the text after the digits is ignored",
          "“{0}”读作地址 {1}：数字后面的文字被忽略"};
}

bool TakeProgram(DfuSettings& settings, const std::string* values, Reasons* why) {
  static constexpr HexValueTexts kTexts =
      AddressTexts("'{0}' is no address: -p needs a hexadecimal address (for example A000) before the path",
                   "“{0}”不是地址：-p 后面需要先写十六进制地址（例如 A000），再写路径");
  uint32_t addr = 0;
  return TakeHexValue("-p", values[0], kTexts, addr, why) && AddProgramEntry(settings, addr, values[1], why);
}

// [addr, addr + length) must lie in the largest flash; its end as the tool
// writes addresses, or as "0x1xxxxxxxx" past 32 bits.
bool CheckReadRange(const std::string* values, uint32_t addr, uint32_t length, Reasons* why) {
  const std::vector<std::string> words = {values[0], values[1]};
  if (length == 0) {
    AddError(why, "--read {0} {1}: LENGTH must be 1 or more", "--read {0} {1}：LENGTH 至少为 1", words);
    return false;
  }
  const uint64_t end = static_cast<uint64_t>(addr) + length;
  if (end > 0xFFFFFFFFull + 1) {
    AddError(why, "--read {0} {1}: the range goes past 32 bits (beyond 0xFFFFFFFF)",
             "--read {0} {1}：范围超出 32 位（超过 0xFFFFFFFF）", words);
    return false;
  }
  if (end > kLargestFlashEnd) {
    // A range may end right at 2^32, one past the last 32-bit address.
    const std::string endText = end > 0xFFFFFFFFull ? "0x100000000" : AddressText(static_cast<uint32_t>(end));
    AddError(why, "--read {0} {1}: {2}..{3} goes past {4}, the end of the largest flash (1 MB)",
             "--read {0} {1}：{2}..{3} 超出最大 Flash（1 MB）的末尾 {4}",
             {values[0], values[1], AddressText(addr), endText, AddressText(kLargestFlashEnd)});
    return false;
  }
  return true;
}

bool TakeRead(DfuSettings& settings, const std::string* values, Reasons* why) {
  static constexpr HexValueTexts kAddrTexts =
      AddressTexts("'{0}' is no address: --read needs ADDR in hexadecimal (for example 8000)",
                   "“{0}”不是地址：--read 的 ADDR 需要十六进制地址（例如 8000）");
  static constexpr HexValueTexts kLengthTexts = {
      "'{0}' is no length: --read needs LENGTH in hexadecimal (for example 1000 for 4096 bytes)",
      "“{0}”不是长度：--read 的 LENGTH 需要十六进制数（例如 1000 表示 4096 字节）",
      "length '{0}' is out of range: the largest is FFFFFFFF",
      "长度“{0}”超出范围：最大为 FFFFFFFF",
      "'{0}' read as length {1}: the text after the digits is ignored",
      "“{0}”读作长度 {1}：数字后面的文字被忽略"};
  uint32_t addr = 0;
  uint32_t length = 0;
  if (!TakeHexValue("--read", values[0], kAddrTexts, addr, why) ||
      !TakeHexValue("--read", values[1], kLengthTexts, length, why) || !CheckReadRange(values, addr, length, why)) {
    return false;
  }
  if (!TakeWordValue(values[2], "--read needs a FILE to write the flash into, not '{0}'",
                     "--read 需要写入 Flash 内容的文件 FILE，而不是“{0}”", settings.read_file, why)) {
    return false;
  }
  settings.read_addr = addr;
  settings.read_length = length;
  return true;
}

bool TakeDevice(DfuSettings& settings, const std::string* values, Reasons* why) {
  if (!TakeWordValue(values[0], "--device needs a device path, serial number or USB location, not '{0}'",
                     "--device 后面需要设备路径、序列号或 USB 位置，而不是“{0}”", settings.device, why)) {
    return false;
  }
  settings.devices.push_back(settings.device);
  return true;
}

bool TakeCount(DfuSettings& settings, const std::string* values, Reasons* why) {
  int32_t number = 0;
  if (ConvertInt32(values[0], 10, number) != NumberError::None || number < 1 ||
      !TextAfterNumber(values[0], 10).empty()) {
    AddError(why, "--count needs a number of boards, 1 or more, not '{0}'", "--count 后面需要板子数量（至少为 1），而不是“{0}”",
             {values[0]});
    return false;
  }
  settings.count = static_cast<uint32_t>(number);
  return true;
}

bool TakeLog(DfuSettings& settings, const std::string* values, Reasons* why) {
  return TakeWordValue(values[0], "--log needs a FILE to append the station's records to, not '{0}'",
                       "--log 需要追加工位记录的文件 FILE，而不是“{0}”", settings.log_file, why);
}

bool TakeTimeout(DfuSettings& settings, const std::string* values, Reasons* why) {
  const std::string& seconds = values[0];
  switch (ConvertSecondsToMs(seconds, settings.timeout_ms)) {
    case NumberError::None:
      return true;
    case NumberError::Invalid:
      AddError(why, "--timeout needs a positive number of seconds (for example 2.5), not '{0}'",
               "--timeout 后面需要正的秒数（例如 2.5），而不是“{0}”", {seconds});
      return false;
    case NumberError::OutOfRange:
      AddError(why, "--timeout {0}: the longest wait is 2147483 seconds (about 24 days)",
               "--timeout {0}：最长等待 2147483 秒（约 24 天）", {seconds});
      return false;
  }
  return false;
}

// An option without values that turns one setting on.
template <bool DfuSettings::*kSetting>
bool TakeSwitch(DfuSettings& settings, const std::string* /*values*/, Reasons* /*why*/) {
  settings.*kSetting = true;
  return true;
}

// The style's name in any letter case.
bool TakeProgress(DfuSettings& settings, const std::string* values, Reasons* why) {
  static constexpr struct {
    const char* name;
    ProgressStyle style;
  } kStyles[] = {{"percent", ProgressStyle::Percent}, {"rich", ProgressStyle::Rich}, {"none", ProgressStyle::None}};
  for (const auto& style : kStyles) {
    if (EqualsIgnoringAsciiCase(values[0], style.name)) {
      settings.progress = style.style;
      return true;
    }
  }
  AddError(why, "--progress takes percent, rich or none, not '{0}'", "--progress 的取值为 percent、rich 或 none，而不是“{0}”",
           {values[0]});
  return false;
}

constexpr OptionSpec kOptions[] = {
    {"-w", 1, "-w wait", "-w 1", TakeWait},
    {"-s", 1, "-s flash_size", "-s 2", TakeFlashSize},
    {"-m", 1, "-m mode", "-m 1", TakeMode},
    {"-p", 2, "-p addr pg_path", "-p A000 app.bin", TakeProgram},
    {"--device", 1, "--device SELECTOR", "--device /dev/hidraw3", TakeDevice},
    {"--timeout", 1, "--timeout SECONDS", "--timeout 2.5", TakeTimeout},
    {"--quiet", 0, "--quiet", "--quiet", TakeSwitch<&DfuSettings::quiet>},
    {"--strict", 0, "--strict", "--strict", TakeSwitch<&DfuSettings::strict>},
    {"--posix-exit", 0, "--posix-exit", "--posix-exit", TakeSwitch<&DfuSettings::posix_exit>},
    {"--progress", 1, "--progress STYLE", "--progress=rich", TakeProgress},
    {"--help", 0, "--help", "--help", nullptr, DfuAction::Help, "help"},
    {"--version", 0, "--version", "--version", nullptr, DfuAction::Version, "v"},
    // After the long forms, which name the actions in reasons.
    {"-h", 0, "-h", "-h", nullptr, DfuAction::Help, "help"},
    {"-V", 0, "-V", "-V", nullptr, DfuAction::Version, "v"},
    {"--dry-run", 0, "--dry-run", "--dry-run -p A000 app.bin", nullptr, DfuAction::DryRun},
    {"--list", 0, "--list", "--list", nullptr, DfuAction::List},
    {"--read", 3, "--read ADDR LENGTH FILE", "--read 0 1000 flash.bin", TakeRead, DfuAction::Read},
    {"--verify-only", 0, "--verify-only", "--verify-only -p A000 app.bin", nullptr, DfuAction::VerifyOnly},
    {"--station", 0, "--station", "--station -p A000 app.bin", nullptr, DfuAction::Station},
    {"--count", 1, "--count N", "--count 100", TakeCount, DfuAction::None, nullptr, DfuAction::Station},
    {"--log", 1, "--log FILE", "--log station.jsonl", TakeLog, DfuAction::None, nullptr, DfuAction::Station},
};

// How many single-letter edits (insert, delete, replace, swap two
// neighbours) turn one name into the other, letter case aside.
size_t SpellingDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t replace = SameIgnoringAsciiCase(a[i - 1], b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + replace});
      if (i > 1 && j > 1 && SameIgnoringAsciiCase(a[i - 1], b[j - 2]) && SameIgnoringAsciiCase(a[i - 2], b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

// "A000,app.bin" as the address of -p: the help's command format shows a
// comma there, but the words are separated by spaces.
void NoteCommaInValue(const char* name, const std::string& word, Reasons* why) {
  if (word.find(',') == std::string::npos) return;
  AddNote(why, "'{0}' is one word: the values of {1} are separated by spaces, not commas",
          "“{0}”是一个词：{1} 的各个参数之间用空格分隔，而不是逗号", {word, name});
}

const OptionSpec* FindOption(const std::string& word, OptionNameCase nameCase) {
  for (const OptionSpec& option : kOptions) {
    if (nameCase == OptionNameCase::Insensitive ? EqualsIgnoringAsciiCase(word, option.name)
                                                : word == option.name) {
      return &option;
    }
  }
  return nullptr;
}

std::vector<PromptOption> PromptOptions() {
  std::vector<PromptOption> options;
  for (const OptionSpec& option : kOptions) {
    if (option.action == DfuAction::None && option.modifies == DfuAction::None) {
      options.push_back({option.name, option.valueWords});
    }
  }
  return options;
}

const char* ActionName(DfuAction action) {
  for (const OptionSpec& option : kOptions) {
    if (option.action == action) return option.name;
  }
  return "";
}

// One or two edits away, and fewer than half its letters.
const OptionSpec* NearestLongOption(const std::string& bareName, OptionNameCase nameCase) {
  const OptionSpec* nearest = nullptr;
  size_t nearestDistance = 3;
  for (const OptionSpec& option : kOptions) {
    const std::string candidate = option.name;
    if (!IsLongWord(candidate) || (option.action != DfuAction::None && AtPrompt(nameCase))) continue;
    const std::string bareCandidate = candidate.substr(2);
    const size_t distance = SpellingDistance(bareName, bareCandidate);
    if (distance < nearestDistance && 2 * distance < std::max(bareName.size(), bareCandidate.size())) {
      nearest = &option;
      nearestDistance = distance;
    }
  }
  return nearest;
}

