#include "platform/locale_names.h"

#include <initializer_list>

#include "common/ascii_case.h"

namespace platform {

namespace {

bool IsPortableNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

bool IsEnglishByDefault(const LocaleParts& parts) {
  return parts.language.empty() || parts.language == "C" || parts.language == "POSIX";
}

}  // namespace

LocaleParts SplitLocaleName(std::string_view locale) {
  LocaleParts parts;
  const size_t modifier = locale.find('@');
  if (modifier != std::string_view::npos) locale = locale.substr(0, modifier);
  const size_t dot = locale.find('.');
  if (dot != std::string_view::npos) {
    parts.codeset = std::string(locale.substr(dot + 1));
    locale = locale.substr(0, dot);
  }
  const size_t underscore = locale.find('_');
  if (underscore != std::string_view::npos) {
    parts.territory = std::string(locale.substr(underscore + 1));
    locale = locale.substr(0, underscore);
  }
  parts.language = std::string(locale);
  return parts;
}

std::string FirstNonEmpty(const char* first, const char* second, const char* third) {
  for (const char* value : {first, second, third}) {
    if (value != nullptr && value[0] != '\0') return value;
  }
  return std::string();
}

std::string Iso639FromLocale(std::string_view locale) {
  const LocaleParts parts = SplitLocaleName(locale);
  if (IsEnglishByDefault(parts)) return "en";
  return parts.language;
}

std::string UiLocaleNameFrom(std::string_view languageList, std::string_view locale) {
  const std::string_view firstEntry = languageList.substr(0, languageList.find(':'));
  const LocaleParts parts = SplitLocaleName(firstEntry.empty() ? locale : firstEntry);
  if (IsEnglishByDefault(parts)) return "en";
  if (parts.territory.empty()) return parts.language;
  return parts.language + "-" + parts.territory;
}

bool IsGbkCodeset(std::string_view locale) {
  std::string codeset;
  for (char c : SplitLocaleName(locale).codeset) {
    if (c != '-') codeset += AsciiLower(c);
  }
  return codeset == "gbk" || codeset == "gb2312" || codeset == "gb18030";
}

std::string EscapeLockName(std::string_view name) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : name) {
    if (IsPortableNameByte(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHexDigits[c >> 4];
      escaped += kHexDigits[c & 0x0F];
    }
  }
  return escaped;
}

std::string ClaimLockFilePath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  return path + "orvel-dfu-" + EscapeLockName(name) + ".lock";
}

}  // namespace platform
