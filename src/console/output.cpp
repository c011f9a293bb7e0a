#include "console/output.h"

#include <iostream>
#include <functional>
#include <map>

#include "platform/platform.h"

int32_t UiLanguage = 1;
bool LogMode = false;

namespace {

std::ostream* redirectedOut = nullptr;
ConsoleEncoding consoleEncoding = ConsoleEncoding::Utf8;

// Converted texts by their UTF-8 form. Progress prefixes are written many
// times a second, so each Chinese text is converted once. Callers may also
// pass device strings, so the cache is bounded.
constexpr size_t kGbkCacheLimit = 256;
std::map<std::string, std::string, std::less<>> gbkCache;

bool IsPlainAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::ostream& ConsoleOut() { return redirectedOut != nullptr ? *redirectedOut : std::cout; }

void SetConsoleOut(std::ostream* stream) { redirectedOut = stream; }

void SetConsoleEncoding(ConsoleEncoding encoding) { consoleEncoding = encoding; }

std::string ToConsoleEncoding(std::string_view utf8) {
  if (consoleEncoding == ConsoleEncoding::Utf8 || IsPlainAscii(utf8)) return std::string(utf8);
  auto found = gbkCache.find(utf8);
  if (found != gbkCache.end()) return found->second;
  if (gbkCache.size() >= kGbkCacheLimit) gbkCache.clear();
  std::string gbk = platform::Utf8ToGbk(utf8);
  gbkCache.emplace(std::string(utf8), gbk);
  return gbk;
}

std::string Localized(std::string_view english, std::string_view chinese) {
  if (UiLanguage != 0) return std::string(english);
  return ToConsoleEncoding(chinese);
}
