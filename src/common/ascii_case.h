// ASCII letter case, the only case the tool folds: command words, option
// names, file extensions, locale names and device paths. Other bytes (GBK or
// UTF-8 text among them) are never changed.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLowerCase(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

inline bool SameIgnoringAsciiCase(char a, char b) { return AsciiLower(a) == AsciiLower(b); }

inline bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view word) {
  return text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), SameIgnoringAsciiCase);
}

// Where word first occurs in text, letters compared without regard to case;
// npos when it does not.
inline size_t FindIgnoringAsciiCase(std::string_view text, std::string_view word) {
  const auto at = std::search(text.begin(), text.end(), word.begin(), word.end(),
                              SameIgnoringAsciiCase);
  return at == text.end() ? std::string_view::npos : static_cast<size_t>(at - text.begin());
}
