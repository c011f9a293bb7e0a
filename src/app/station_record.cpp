#include "app/station_record.h"

#include <cstdio>

#include "common/utf8.h"
#include "common/version.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "platform/platform.h"

namespace {

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::Warning:
      return "warning";
    case Severity::Note:
      return "note";
    case Severity::Error:
      break;
  }
  return "error";
}

// A missing text is null, as a field WebHID or the device does not give.
std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

std::string ProgramsJson(const std::vector<ProgramSummary>& programs) {
  std::string json = "[";
  for (const ProgramSummary& program : programs) {
    if (json.size() > 1) json += ',';
    json += "{\"path\":" + JsonString(program.path) + ",\"start\":\"" + AddressText(program.start) + "\",\"end\":\"" +
            EndAddressText(program.start, program.length) + "\",\"length\":" +
            std::to_string(program.length) + ",\"crc32\":\"" + AddressText(program.crc) + "\"}";
  }
  return json + "]";
}

std::string ReasonsJson(const Reasons& reasons) {
  std::string json = "[";
  for (const Reason& reason : reasons) {
    if (json.size() > 1) json += ',';
    json += "{\"severity\":\"" + std::string(SeverityName(reason.severity)) +
            "\",\"text\":" + JsonString(FillReasonTemplate(reason.english, reason.args)) + "}";
  }
  return json + "]";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (size_t at = 0; at < text.size();) {
    const char c = text[at];
    const size_t length = Utf8SequenceAt(text, at);
    if (length == 0) {
      json += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      json += escaped;
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  return json + "\"";
}

std::string FirstErrorText(const Reasons& reasons) {
  for (const Reason& reason : reasons) {
    if (reason.severity == Severity::Error) return '\t' + ReasonText(reason);
  }
  return std::string();
}

std::string ResultLine(const BoardAttempt& attempt) {
  std::string line = platform::LocalTimeText(attempt.startMs) + '\t' + OrDash(attempt.device.location) + '\t' +
                     OrDash(ToConsoleEncoding(attempt.device.serial)) + '\t' + (attempt.passed ? "PASS" : "FAIL") +
                     '\t' + FormatSeconds(attempt.jobMs / 1000.0) + 's';
  if (!attempt.passed) line += FirstErrorText(attempt.why);
  return line;
}

std::string LogRecord(const BoardAttempt& attempt, const std::vector<ProgramSummary>& programs) {
  const DeviceEntry& device = attempt.device;
  return "{\"start\":" + JsonString(platform::UtcTimeText(attempt.startMs)) +
         ",\"end\":" + JsonString(platform::UtcTimeText(attempt.endMs)) + ",\"location\":" +
         JsonOrNull(device.location) + ",\"serial\":" + JsonOrNull(device.serial) +
         ",\"path\":" + JsonOrNull(device.path.value_or("")) + ",\"name\":" + JsonOrNull(device.description) +
         ",\"programs\":" + ProgramsJson(programs) + ",\"result\":\"" + (attempt.passed ? "PASS" : "FAIL") +
         "\",\"reasons\":" + ReasonsJson(attempt.why) + ",\"version\":" + JsonString(VersionLine()) + "}";
}
