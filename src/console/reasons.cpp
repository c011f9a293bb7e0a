#include "console/reasons.h"

#include <iostream>

#include "console/console.h"
#include "console/output.h"

namespace {

std::ostream* redirectedErr = nullptr;
bool quietReasons = false;

const char* const kProgramName = "orvel-dfu: ";

std::string SeverityWord(Severity severity) {
  switch (severity) {
    case Severity::Warning:
      return Localized("warning: ", "警告：");
    case Severity::Note:
      return Localized("note: ", "提示：");
    case Severity::Error:
      break;
  }
  return Localized("error: ", "错误：");
}

}  // namespace

std::ostream& ConsoleErr() { return redirectedErr != nullptr ? *redirectedErr : std::cerr; }

void SetConsoleErr(std::ostream* stream) { redirectedErr = stream; }

void SetQuietReasons(bool quiet) { quietReasons = quiet; }

bool QuietReasons() { return quietReasons; }

std::string ReasonLine(const Reason& reason) {
  return kProgramName + SeverityWord(reason.severity) + ReasonText(reason);
}

std::string ReasonText(const Reason& reason) {
  const std::string& text = UiLanguage != 0 ? reason.english : reason.chinese;
  std::vector<std::string> args = reason.args;
  for (size_t i = 0; i < args.size() && i < 32; ++i) {
    if ((reason.utf8Args >> i) & 1u) args[i] = ToConsoleEncoding(args[i]);
  }
  return FillReasonTemplate(ToConsoleEncoding(text), args);
}

void WriteReason(const Reason& reason) {
  if (quietReasons && reason.severity != Severity::Error) return;
  std::string line;
  // A progress line still open on standard output would otherwise have the
  // reason run on behind its percentage where both streams share a screen.
  // Once, for the first reason: the screen's line has ended then.
  if (ProgressLineOpen()) {
    line += '\n';
    ForgetOpenProgressLine();
  }
  line += ReasonLine(reason);
  line += '\n';
  ConsoleErr() << line << std::flush;
}

void WriteReasons(const Reasons& reasons) {
  for (const Reason& reason : reasons) WriteReason(reason);
}
