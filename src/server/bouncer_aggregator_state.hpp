#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bouncer_counters.hpp"
#include "bouncer_output.hpp"
#include "shared/output_mode.hpp"
#include "shared/timestamp.hpp"

// What the server aggregator knows and decides, apart from its waiting: the registered counter records, the
// totals of the previous tick, and which record each tick and the Ctrl+C summary print.
namespace brindlemoor::bouncer_aggregator {

// Printed, in every output mode, on a tick while no port has registered its record.
inline constexpr std::string_view kNoCountersLine = "WE HAVE NO COUNTERS\n";
// Printed before the summary line.
inline constexpr std::string_view kSummaryHeading = "Server summary:\n";

// The ticker's period for an interval in milliseconds; an interval too long for 64-bit nanoseconds saturates
// (its ticks then never come) instead of wrapping into a short period.
std::uint64_t tick_period_ns(std::uint64_t interval_ms) noexcept;

class AggregatorState {
public:
    AggregatorState(std::optional<std::string> tag, OutputMode output_mode);

    OutputMode output_mode() const noexcept { return output_mode_; }

    // Records are kept in arrival order for the rest of the run.
    void add_counters(SharedBouncerCounters record);

    // A tick's result: the increase since the previous tick (everything since the start for records that came
    // since), stamped `now`, with the tag. Empty while no record is registered; the totals then stay.
    std::optional<BouncerOutput> interval_record(WallClock::time_point now);

    // The Ctrl+C summary: the totals since the start, read now, with the tag and no timestamp; printed even
    // when all are 0. Empty in JSON mode and while no record is registered.
    std::optional<BouncerOutput> summary_record();

private:
    std::optional<std::string> tag_;
    OutputMode output_mode_;
    std::vector<SharedBouncerCounters> counters_;
    BouncerOutput totals_;
};

}  // namespace brindlemoor::bouncer_aggregator
