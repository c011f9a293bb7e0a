// Pure text rules behind the platform queries: POSIX locale values, and the
// names of the inter-process locks. Kept apart so they can be checked alone.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The parts of a POSIX locale value "language_TERRITORY.codeset@modifier".
struct LocaleParts {
  std::string language;
  std::string territory;
  std::string codeset;
};
LocaleParts SplitLocaleName(std::string_view locale);

// The first of the values that is set and not empty; "" when none is.
std::string FirstNonEmpty(const char* first, const char* second, const char* third);

// ISO 639 language of a locale value. "C", "POSIX" and no locale at all are
// English ("en").
std::string Iso639FromLocale(std::string_view locale);

// The UI locale name ("zh-CN") from the first entry of a LANGUAGE list if
// there is one, else from the locale value.
std::string UiLocaleNameFrom(std::string_view languageList, std::string_view locale);

// True when the locale value's codeset is GBK, GB2312 or GB18030.
bool IsGbkCodeset(std::string_view locale);

// The lock name with every byte that is not a letter, digit, '-', '_' or '.'
// written as %XX, so that any two different names stay different and none can
// leave the directory or namespace it is put in.
std::string EscapeLockName(std::string_view name);

// The lock file of a claim name in a folder: "<folder>/orvel-dfu-<escaped name>.lock".
std::string ClaimLockFilePath(std::string_view folder, std::string_view name);

}  // namespace platform
