#pragma once

#include <chrono>
#include <string>

namespace brindlemoor {

using WallClock = std::chrono::system_clock;

// Log line timestamp: UTC, "YYYY-MM-DDTHH:MM:SS.ffffffZ", the fraction cut to whole microseconds.
std::string format_log_timestamp(WallClock::time_point time);

// RFC 3339 in UTC with the fewest of 0, 3, 6 or 9 fraction digits that show the instant exactly.
std::string format_rfc3339_utc(WallClock::time_point time);

// Local time of day "HH:MM:SS.mmm", the milliseconds cut (never rounded into the next second).
std::string format_local_time_millis(WallClock::time_point time);

}  // namespace brindlemoor
