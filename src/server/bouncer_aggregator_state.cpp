#include "bouncer_aggregator_state.hpp"

#include <limits>
#include <utility>

namespace brindlemoor::bouncer_aggregator {

std::uint64_t tick_period_ns(std::uint64_t interval_ms) noexcept {
    constexpr std::uint64_t kNanosPerMilli = 1'000'000;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return interval_ms > kMax / kNanosPerMilli ? kMax : interval_ms * kNanosPerMilli;
}

AggregatorState::AggregatorState(std::optional<std::string> tag, OutputMode output_mode)
    : tag_(std::move(tag)), output_mode_(output_mode) {}

void AggregatorState::add_counters(SharedBouncerCounters record) { counters_.push_back(std::move(record)); }

std::optional<BouncerOutput> AggregatorState::interval_record(WallClock::time_point now) {
    if (counters_.empty()) return std::nullopt;
    BouncerOutput increase = sum_counters(counters_, totals_, now);
    increase.tag = tag_;
    return increase;
}

std::optional<BouncerOutput> AggregatorState::summary_record() {
    if (counters_.empty() || output_mode_ == OutputMode::JSON) return std::nullopt;
    // The increase of the last partial interval is never printed; only the totals it leaves behind.
    sum_counters(counters_, totals_, WallClock::now());
    BouncerOutput summary = totals_;
    summary.tag = tag_;
    return summary;
}

}  // namespace brindlemoor::bouncer_aggregator
