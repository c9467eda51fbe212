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
    : schedule_(checked_schedule(period_ns, behavior)) {
    entry_.slack = timer_slack(period_ns);
}

Interval::~Interval() {
    if (timers_) timers_->cancel(entry_);
}

std::optional<SteadyClock::time_point> Interval::try_tick() {
    const auto now = SteadyClock::now();
    if (!schedule_.due(now)) return std::nullopt;
    return schedule_.take(now);
}

Awaitable<SteadyClock::time_point> Interval::tick() {
    const auto event = co_await fair_wait(on_tick(*this));
    co_return std::get<0>(event);
}

namespace {

// Registers `waiter` for `deadline` with the calling worker's timer queue through `entry`, which stays queued
// from one wait to the next and moves only when the deadline has moved. A deadline of "never" queues nothing.
void subscribe_deadline(detail::TimerQueue*& timers, detail::TimerEntry& entry, SteadyClock::time_point deadline,
                        std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    if (deadline == SteadyClock::time_point::max()) return;
    // A deadline that has passed since the task's last try.
    if (SteadyClock::now() >= deadline) {
        waiter.wake();
        return;
    }
    if (!timers) {
        if (!detail::this_worker_loop) throw std::logic_error("only a task on a runtime worker can wait for a timer");
        timers = &detail::this_worker_loop->timers();
    }
    slot.emplace(entry.waiter, waiter);
    if (!entry.queued() || entry.deadline != deadline) timers->schedule(entry, deadline);
}

// One deadline, as a fair-wait branch; the entry leaves its queue with the sleep.
class Sleep {
public:
    explicit Sleep(SteadyClock::time_point deadline) noexcept : deadline_(deadline) {}
    Sleep(const Sleep&) = delete;
    Sleep& operator=(const Sleep&) = delete;
    ~Sleep() {
        if (timers_) timers_->cancel(entry_);
    }

    bool over() const noexcept { return SteadyClock::now() >= deadline_; }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        subscribe_deadline(timers_, entry_, deadline_, slot, waiter);
    }

private:
    SteadyClock::time_point deadline_;
    detail::TimerEntry entry_;
    detail::TimerQueue* timers_ = nullptr;
};

}  // namespace

void Interval::subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    subscribe_deadline(timers_, entry_, schedule_.deadline(), slot, waiter);
}

Awaitable<void> sleep_for(std::uint64_t nanoseconds) {
    Sleep sleep(saturating_add(SteadyClock::now(), nanoseconds));
    while (!sleep.over()) co_await detail::wait_ready(std::array<bool, 1>{true}, sleep);
}

}  // namespace brindlemoor::runtime
