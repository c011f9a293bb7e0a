// Wall-clock time broken down into its parts, as each platform's C library
// does it; the texts made of them are the same everywhere (wall_time.cpp).
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// seconds since 1970-01-01 UTC, in UTC or in the local time zone; false
// when the C library cannot.
bool BreakDownTime(int64_t seconds, bool utc, struct tm& parts);

}  // namespace platform
