// The one place that writes reasons: "orvel-dfu: " + severity word + text,
// one line each, on standard error, in the language UiLanguage picks when
// the line is written and in the console's encoding. Standard output never
// carries a reason.
#pragma once

#include <ostream>
#include <string>

#include "common/reason.h"

// Standard error unless a test redirects it; nullptr restores std::cerr.
std::ostream& ConsoleErr();
void SetConsoleErr(std::ostream* stream);

// Quiet: notes and warnings are dropped; errors are always written.
void SetQuietReasons(bool quiet);
bool QuietReasons();

// The reason's line without its line end, as WriteReason writes it.
std::string ReasonLine(const Reason& reason);
// The same without "orvel-dfu: " and the severity word.
std::string ReasonText(const Reason& reason);

void WriteReason(const Reason& reason);
void WriteReasons(const Reasons& reasons);
