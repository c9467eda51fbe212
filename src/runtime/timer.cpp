#include "runtime/timer.hpp"

#include <stdexcept>

#include "worker_loop.hpp"

namespace brindlemoor::runtime {

namespace {
TickSchedule checked_schedule(std::uint64_t period_ns, MissedTickBehavior behavior) {
    if (period_ns == 0) throw std::invalid_argument("Interval period must be non-zero");
    return TickSchedule(SteadyClock::now(), period_ns, behavior);
}
}  // namespace

Interval::Interval(std::uint64_t period_ns, MissedTickBehavior behavior)
    : schedule_(checked_schedule(period_ns, behavior)), timer_(timer_slack(period_ns)) {}

std::optional<SteadyClock::time_point> Interval::try_tick() {
    const auto now = SteadyClock::now();
    if (!schedule_.due(now)) return std::nullopt;
    return schedule_.take(now);
}

Awaitable<SteadyClock::time_point> Interval::tick() {
    const auto event = co_await fair_wait(on_tick(*this));
    co_return std::get<0>(event);
}

namespace detail {

QueuedTimer::~QueuedTimer() {
    if (timers_) timers_->cancel(entry_);
}

void QueuedTimer::subscribe(SteadyClock::time_point deadline, std::optional<WaiterRegistration>& slot,
                            Wakeable& waiter) {
    if (deadline == SteadyClock::time_point::max()) return;
    // A deadline that has passed since the task's last try.
    if (SteadyClock::now() >= deadline) {
        waiter.wake();
        return;
    }
    if (!timers_) {
        if (!this_worker_loop) throw std::logic_error("only a task on a runtime worker can wait for a timer");
        timers_ = &this_worker_loop->timers();
    }
    slot.emplace(entry_.waiter, waiter);
    if (!entry_.queued() || entry_.deadline != deadline) timers_->schedule(entry_, deadline);
}

}  // namespace detail

namespace {

// One deadline, as a fair-wait branch.
struct Sleep {
    SteadyClock::time_point deadline;
    detail::QueuedTimer timer{SteadyClock::duration::zero()};

    bool over() const noexcept { return SteadyClock::now() >= deadline; }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        timer.subscribe(deadline, slot, waiter);
    }
};

}  // namespace

Awaitable<void> sleep_for(std::uint64_t nanoseconds) {
    Sleep sleep{saturating_add(SteadyClock::now(), nanoseconds)};
    while (!sleep.over()) co_await detail::wait_ready(std::array<bool, 1>{true}, sleep);
}

}  // namespace brindlemoor::runtime
