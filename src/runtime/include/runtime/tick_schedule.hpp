#pragma once

#include <chrono>
#include <cstdint>

// Deadline arithmetic of the periodic timer, free of Asio so that it can be tested with made-up instants.
namespace brindlemoor::runtime {

using SteadyClock = std::chrono::steady_clock;

// What a periodic timer does after a tick that was taken too late.
enum class MissedTickBehavior : std::uint8_t {
    Burst,  // next deadline = missed deadline + period: the missed ticks follow back to back
    Skip,   // next deadline = the first grid point after the current time
};

// A tick taken more than this after its deadline counts as missed.
inline constexpr std::chrono::milliseconds kMissedTickTolerance{5};

// How late a periodic timer may fire so that it shares a wake-up with others: 5 % of its period, at most 1 ms.
// Small against the period, so sends stay evenly spaced, and far inside the lateness that counts as missed.
SteadyClock::duration timer_slack(std::uint64_t period_ns) noexcept;

// `time` + `nanoseconds`, or the clock's maximum when the sum does not fit: a huge delay means "never".
SteadyClock::time_point saturating_add(SteadyClock::time_point time, std::uint64_t nanoseconds) noexcept;

// The deadlines of a periodic timer: the first at `start`, the later ones on the grid start + k * period.
class TickSchedule {
public:
    // `period_ns` must not be 0 (a timer that is always due would never let its task wait).
    TickSchedule(SteadyClock::time_point start, std::uint64_t period_ns, MissedTickBehavior behavior) noexcept;

    SteadyClock::time_point deadline() const noexcept { return deadline_; }
    bool due(SteadyClock::time_point now) const noexcept { return now >= deadline_; }

    // Takes the tick that is due at `now` (requires due(now)): returns its deadline and moves to the next one.
    SteadyClock::time_point take(SteadyClock::time_point now) noexcept;

private:
    SteadyClock::time_point deadline_;
    std::uint64_t period_ns_;
    MissedTickBehavior behavior_;
};

}  // namespace brindlemoor::runtime
