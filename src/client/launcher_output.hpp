#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "session_report.hpp"
#include "shared/timestamp.hpp"

namespace brindlemoor {

// A duration in nanoseconds for the text line: "999ns", "1.23ms", "1000.00µs", "18446744073.71s" (the unit is
// chosen before rounding to hundredths, halves round up).
std::string format_duration(std::uint64_t nanoseconds);

// The average round-trip time of a window, a round or the totals, from their sums; 0 when nothing was answered.
std::uint64_t rtt_avg(const WindowStats& stats) noexcept;

// The text line of a round or of the totals, newline included, with the time shown as local time of day;
// empty when nothing was sent. Verbose also shows the items whose value is 0.
std::string format_client_text(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                               const std::optional<std::string>& tag, bool verbose);

// The compact JSON line, newline included, with the time in UTC. A tag that is not valid UTF-8 cannot be
// serialised: that is logged at ERROR and the result is empty.
std::string format_client_json(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                               const std::optional<std::string>& tag);

// The printers hand the line (if any) to the standard-output writer (std_streams), without waiting.
void print_client_text(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                       const std::optional<std::string>& tag, bool verbose);
void print_client_json(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                       const std::optional<std::string>& tag);

}  // namespace brindlemoor
