#include "platform/wall_time.h"

#include <chrono>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {

std::string TimeText(int64_t unixMs, bool utc) {
  struct tm parts {};
  if (!BreakDownTime(unixMs / 1000, utc, parts)) return std::string();
  char text[96];  // room for any year the fields can hold
  if (utc) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(unixMs % 1000));
  } else {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  }
  return text;
}

}  // namespace

std::string LocalTimeText(int64_t unixMs) { return TimeText(unixMs, false); }

std::string UtcTimeText(int64_t unixMs) { return TimeText(unixMs, true); }

int64_t UnixTimeMs() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
}

}  // namespace platform
