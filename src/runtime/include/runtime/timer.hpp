#pragma once

#include <cstdint>
#include <optional>

#include "runtime/tick_schedule.hpp"
#include "runtime/timer_queue.hpp"
#include "runtime/wait.hpp"

// Timers of a task: the periodic Interval and a saturating sleep.
namespace brindlemoor::runtime {

namespace detail {

// A timer's place in the timer queue of the worker that first waited on it: it stays queued from one wait to the
// next, moves only when the deadline has moved, and leaves the queue with its owner. A deadline of "never"
// queues nothing.
class QueuedTimer {
public:
    explicit QueuedTimer(SteadyClock::duration slack) noexcept { entry_.slack = slack; }
    QueuedTimer(const QueuedTimer&) = delete;
    QueuedTimer& operator=(const QueuedTimer&) = delete;
    ~QueuedTimer();

    // Wakes the waiter once `deadline` has come (at once when it has passed already).
    void subscribe(SteadyClock::time_point deadline, std::optional<WaiterRegistration>& slot, Wakeable& waiter);

private:
    TimerEntry entry_;
    TimerQueue* timers_ = nullptr;
};

}  // namespace detail

// A periodic timer. The first tick is due at construction; later deadlines lie on the grid start + k * period.
// A tick taken more than 5 ms after its deadline is missed, and the behaviour picks the next deadline (Burst:
// missed deadline + period; Skip: the first grid point after now); a tick not missed always sets deadline +
// period. Deadlines past the clock's range saturate to "never". A waiting task is woken at its deadline or up to
// the timer's slack (see timer_slack) after it, never before. Belongs to one task (not thread-safe).
class Interval {
public:
    // Throws std::invalid_argument when period_ns is 0.
    explicit Interval(std::uint64_t period_ns, MissedTickBehavior behavior = MissedTickBehavior::Burst);
    Interval(const Interval&) = delete;
    Interval& operator=(const Interval&) = delete;

    // Waits until the next tick is due and takes it; yields the tick's deadline.
    Awaitable<SteadyClock::time_point> tick();

    // Takes the tick when it is due now, without waiting; yields its deadline.
    std::optional<SteadyClock::time_point> try_tick();

    SteadyClock::time_point deadline() const noexcept { return schedule_.deadline(); }
    bool due_now() const noexcept { return schedule_.due(SteadyClock::now()); }

    // Fair-wait hook: wakes the waiter once the current deadline has come.
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        timer_.subscribe(schedule_.deadline(), slot, waiter);
    }

private:
    TickSchedule schedule_;
    detail::QueuedTimer timer_;
};

// Fair-wait branch: the next tick of `interval`, valued with the tick's deadline.
struct TickBranch {
    using value_type = SteadyClock::time_point;
    Interval* interval;
    Attempt<value_type> try_take() { return {interval->try_tick(), false}; }
    BranchHint hint() const noexcept { return interval->due_now() ? BranchHint::MayBeReady : BranchHint::Idle; }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        interval->subscribe(slot, waiter);
    }
};
inline TickBranch on_tick(Interval& interval) { return TickBranch{&interval}; }

// Pauses the calling task; a duration beyond the clock's range sleeps until the process ends.
Awaitable<void> sleep_for(std::uint64_t nanoseconds);

}  // namespace brindlemoor::runtime
