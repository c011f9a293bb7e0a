// Why a result is what it is: an error, a warning or a note that travels up
// with the result, as a value, to the one place that writes it (standard
// error, in the language current at that moment).
//
// Both texts are UTF-8 templates in which {0} to {9} stand for the arguments.
// Arguments are inserted as they are, never translated or re-encoded: a path
// as the user typed it, a system's reason, a number already formatted.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

enum class Severity { Error, Warning, Note };

// What a reason reports, where a front end adds the step a user can take
// next: the device gave no reply in time, left the bus, replied something
// else than the command asks for, or read back other bytes than were
// written; or the job was stopped. Other: anything else.
enum class ReasonKind { Other, NoReply, DeviceGone, WrongReply, FlashDiffers, Stopped };

struct Reason {
  Severity severity = Severity::Error;
  std::string english;
  std::string chinese;
  std::vector<std::string> args;
  // Bit N set: args[N] is UTF-8 text (a device's own strings) that goes to
  // the console in its encoding; other arguments are bytes as the user gave
  // them (paths) and are written unchanged.
  uint32_t utf8Args = 0;
  // A hint that names command-line options ("add -w 1"): a program that
  // uses the engine through its library has no such options and drops it.
  bool commandLineHint = false;
  ReasonKind kind = ReasonKind::Other;
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

// The last reason added, tagged with its kind.
inline void TagLastReason(Reasons* why, ReasonKind kind) {
  if (why != nullptr && !why->empty()) why->back().kind = kind;
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

// The first address past a span, in the same form (it may lie past 32 bits).
inline std::string EndAddressText(uint32_t start, uint64_t length) {
  char end[24];
  std::snprintf(end, sizeof end, "0x%08" PRIX64, uint64_t{start} + length);
  return end;
}

// A span of flash, "0x0000A000..0x0000BF40": its start, and the first
// address past it.
inline std::string RangeText(uint32_t start, uint64_t length) {
  return AddressText(start) + ".." + EndAddressText(start, length);
}

// A text the device or the system did not give, as "-" in lines and notes.
inline std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// A byte as "0x3C".
inline std::string ByteText(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
  return text;
}

// Whether text[at] begins a placeholder {0} to {9}.
inline bool IsPlaceholderAt(const std::string& text, size_t at) {
  return text[at] == '{' && at + 2 < text.size() && text[at + 1] >= '0' && text[at + 1] <= '9' &&
         text[at + 2] == '}';
}

// The template with each {N} replaced by args[N]; a placeholder without an
// argument stays as it is.
inline std::string FillReasonTemplate(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t index = IsPlaceholderAt(text, i) ? static_cast<size_t>(text[i + 1] - '0') : args.size();
    if (index < args.size()) {
      out += args[index];
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}
