#include "options/dfu_options.h"

#include <utility>

#include "common/ascii_case.h"
#include "options/number_rule.h"

DfuSettings theDfuSettings;

namespace {

// pg_path is stored in a field of 512 bytes with a terminating zero.
constexpr size_t kLongestProgramPath = 511;
constexpr uint8_t kLargestFlashSize = 2;
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

// The option letter ('w', 's', 'm' or 'p') a word names, or 0 when the word
// is no option.
char OptionLetter(const std::string& word, OptionNameCase nameCase) {
  if (word.size() != 2 || word[0] != '-') {
    return 0;
  }
  const char letter = nameCase == OptionNameCase::Insensitive ? AsciiLower(word[1]) : word[1];
  switch (letter) {
    case 'w':
    case 's':
    case 'm':
    case 'p':
      return letter;
    default:
      return 0;
  }
}

// The low 8 bits of a base-10 value; 258 gives 2 and -1 gives 255.
bool ConvertOptionByte(const std::string& word, uint8_t& value) {
  int32_t number = 0;
  if (ConvertInt32(word, 10, number) != NumberError::None) {
    return false;
  }
  value = static_cast<uint8_t>(static_cast<uint32_t>(number) & 0xFFu);
  return true;
}

// Handles the option at words[i]; advances i past it and its values.
bool TakeOption(char letter, const std::vector<std::string>& words, size_t& i) {
  uint8_t value = 0;
  switch (letter) {
    case 'w':
      if (!ConvertOptionByte(words[i + 1], value)) return false;
      theDfuSettings.wait = value;
      i += 2;
      return true;
    case 's':
      if (!ConvertOptionByte(words[i + 1], value) || value > kLargestFlashSize) return false;
      theDfuSettings.flash_size = value;
      i += 2;
      return true;
    case 'm':
      if (!ConvertOptionByte(words[i + 1], value) || value > kLargestMode) return false;
      theDfuSettings.mode = value;
      i += 2;
      return true;
    default: {
      if (i + 2 >= words.size()) return false;  // address or path missing
      uint32_t addr = 0;
      if (ConvertAddress(words[i + 1], addr) != NumberError::None) return false;
      if (!AddProgramEntry(addr, words[i + 2])) return false;
      i += 3;
      return true;
    }
  }
}

}  // namespace

bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase,
                     Reasons* why) {
  ResetDfuSettings();
  if (words.size() < 2) {
    return false;
  }
  // Every option takes a value, so the last word never starts one.
  size_t i = 0;
  while (i + 1 < words.size()) {
    const char letter = OptionLetter(words[i], nameCase);
    if (letter == 0) {
      ++i;
    } else if (!TakeOption(letter, words, i)) {
      return false;
    }
  }
  if (theDfuSettings.programs.empty()) {
    return false;
  }
  return LoadPrograms(why) == 1;
}

bool AddProgramEntry(uint32_t addr, std::string pg_path) {
  if (pg_path.empty()) {
    return false;
  }
  if (pg_path.front() == '"') {
    pg_path.erase(0, pg_path.find_first_not_of('"'));
    if (pg_path.empty()) {
      return false;
    }
  }
  if (pg_path.back() == '"') {
    pg_path.erase(pg_path.find_last_not_of('"') + 1);
  }
  if (pg_path.size() > kLongestProgramPath) {
    return false;
  }
  theDfuSettings.programs.push_back(ProgramEntry{addr, std::move(pg_path)});
  return true;
}
