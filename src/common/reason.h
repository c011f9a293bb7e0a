// Why a result is what it is: an error, a warning or a note that travels up
// with the result, as a value, to the one place that writes it (standard
// error, in the language current at that moment).
//
// Both texts are UTF-8 templates in which {0} to {9} stand for the arguments.
// Arguments are inserted as they are, never translated or re-encoded: a path
// as the user typed it, a system's reason, a number already formatted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

enum class Severity { Error, Warning, Note };

struct Reason {
  Severity severity = Severity::Error;
  std::string english;
  std::string chinese;
  std::vector<std::string> args;
};

using Reasons = std::vector<Reason>;

// Adds a reason where the caller asked for them: why may be nullptr.
inline void AddReason(Reasons* why, Severity severity, std::string english, std::string chinese,
                      std::vector<std::string> args = {}) {
  if (why == nullptr) return;
  why->push_back(Reason{severity, std::move(english), std::move(chinese), std::move(args)});
}

inline void AddError(Reasons* why, std::string english, std::string chinese,
                     std::vector<std::string> args = {}) {
  AddReason(why, Severity::Error, std::move(english), std::move(chinese), std::move(args));
}

inline void AddWarning(Reasons* why, std::string english, std::string chinese,
                       std::vector<std::string> args = {}) {
  AddReason(why, Severity::Warning, std::move(english), std::move(chinese), std::move(args));
}

inline void AddNote(Reasons* why, std::string english, std::string chinese,
                    std::vector<std::string> args = {}) {
  AddReason(why, Severity::Note, std::move(english), std::move(chinese), std::move(args));
}

inline bool HasError(const Reasons& reasons) {
  for (const Reason& reason : reasons) {
    if (reason.severity == Severity::Error) return true;
  }
  return false;
}

// The tool's own address form, "0x" and eight upper-case hexadecimal digits.
inline std::string AddressText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// The template with each {N} replaced by args[N]; a placeholder without an
// argument stays as it is.
inline std::string FillReasonTemplate(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const bool placeholder = text[i] == '{' && i + 2 < text.size() && text[i + 1] >= '0' &&
                             text[i + 1] <= '9' && text[i + 2] == '}';
    const size_t index = placeholder ? static_cast<size_t>(text[i + 1] - '0') : args.size();
    if (index < args.size()) {
      out += args[index];
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}
