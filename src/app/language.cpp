#include <string>

#include "app/app.h"
#include "common/ascii_case.h"
#include "platform/platform.h"

// A locale that cannot be asked counts as Chinese: the tool's home market.
bool IsChineseLanguageName(bool known, const std::string& iso639) {
  if (!known) return true;
  return AsciiLowerCase(iso639) == "zh";
}

// The UI locale can only turn Chinese into English: Chinese texts need the
// UI to be exactly "zh-CN" (or unknown), so zh-TW and zh-HK users get English.
int32_t ChooseUiLanguage(bool chineseLocale, bool uiNameKnown, const std::string& uiLocaleName) {
  int32_t language = chineseLocale ? 0 : 1;
  if (uiNameKnown && uiLocaleName != "zh-CN") language = 1;
  return language;
}

bool IsChineseLocale() {
  std::string iso639;
  const bool known = platform::QueryLocaleLanguage(iso639);
  return IsChineseLanguageName(known, iso639);
}

int32_t StartupUiLanguage() {
  const bool chineseLocale = IsChineseLocale();
  std::string uiLocaleName;
  const bool uiNameKnown = platform::QueryUiLocaleName(uiLocaleName);
  return ChooseUiLanguage(chineseLocale, uiNameKnown, uiLocaleName);
}
