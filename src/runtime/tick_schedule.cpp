#include "runtime/tick_schedule.hpp"

#include <algorithm>
#include <limits>

namespace brindlemoor::runtime {

SteadyClock::time_point saturating_add(SteadyClock::time_point time, std::uint64_t nanoseconds) noexcept {
    using Nanoseconds = std::chrono::nanoseconds;
    const auto since_epoch = std::chrono::duration_cast<Nanoseconds>(time.time_since_epoch()).count();
    // Modular unsigned arithmetic gives the exact room up to the maximum for any sign of since_epoch.
    const auto as_unsigned = static_cast<std::uint64_t>(since_epoch);
    const std::uint64_t headroom = static_cast<std::uint64_t>(std::numeric_limits<Nanoseconds::rep>::max()) - as_unsigned;
    if (nanoseconds > headroom) return SteadyClock::time_point::max();
    const auto sum = static_cast<Nanoseconds::rep>(as_unsigned + nanoseconds);
    return SteadyClock::time_point(std::chrono::duration_cast<SteadyClock::duration>(Nanoseconds(sum)));
}

SteadyClock::duration timer_slack(std::uint64_t period_ns) noexcept {
    constexpr std::uint64_t kMaxSlackNs = 1'000'000;
    const std::uint64_t slack_ns = std::min(period_ns / 20, kMaxSlackNs);
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::nanoseconds(slack_ns));
}

TickSchedule::TickSchedule(SteadyClock::time_point start, std::uint64_t period_ns,
                           MissedTickBehavior behavior) noexcept
    : deadline_(start), period_ns_(period_ns), behavior_(behavior) {}

SteadyClock::time_point TickSchedule::take(SteadyClock::time_point now) noexcept {
    const SteadyClock::time_point taken = deadline_;
    const bool missed = now > taken && now - taken > kMissedTickTolerance;
    if (missed && behavior_ == MissedTickBehavior::Skip) {
        // First grid point strictly after now: taken + (elapsed / period + 1) * period. The product is period
        // itself when period > elapsed, else at most elapsed + period < 2^63 + 2^63: it always fits 64 bits.
        const auto elapsed =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - taken).count());
        deadline_ = saturating_add(taken, (elapsed / period_ns_ + 1) * period_ns_);
    } else {
        deadline_ = saturating_add(taken, period_ns_);
    }
    return taken;
}

}  // namespace brindlemoor::runtime
