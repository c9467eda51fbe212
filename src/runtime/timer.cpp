#include "runtime/timer.hpp"

#include <mutex>
#include <stdexcept>
#include <vector>

#include <boost/asio/redirect_error.hpp>

namespace brindlemoor::runtime {

namespace {
TickSchedule checked_schedule(std::uint64_t period_ns, MissedTickBehavior behavior) {
    if (period_ns == 0) throw std::invalid_argument("Interval period must be non-zero");
    return TickSchedule(SteadyClock::now(), period_ns, behavior);
}

// Timer wake-ups are rounded up to the next whole millisecond, so that the timers of one worker fire together:
// far fewer sleeps and wake-ups per tick, while a tick is still taken well inside the lateness that counts as
// missed. The deadlines themselves stay exact.
SteadyClock::time_point wake_time(SteadyClock::time_point deadline) {
    constexpr SteadyClock::duration kResolution = std::chrono::milliseconds(1);
    const SteadyClock::duration since_epoch = deadline.time_since_epoch();
    const SteadyClock::duration rest = since_epoch % kResolution;
    if (rest == SteadyClock::duration::zero()) return deadline;
    const SteadyClock::duration up = kResolution - rest;
    if (deadline > SteadyClock::time_point::max() - up) return SteadyClock::time_point::max();
    return deadline + up;
}
}  // namespace

// What the pending timer wait and the waiting task share. Every arming gets a new generation, so that the
// completion of a wait that was replaced (cancelled by the new expiry, or already queued) is ignored.
struct Interval::Alarm {
    std::mutex mutex;
    detail::WaiterList waiters;
    std::uint64_t generation = 0;
    bool armed = false;
    SteadyClock::time_point armed_for{};
};

Interval::Interval(const Executor& executor, std::uint64_t period_ns, MissedTickBehavior behavior)
    : schedule_(checked_schedule(period_ns, behavior)), timer_(executor), alarm_(std::make_shared<Alarm>()) {}

std::optional<SteadyClock::time_point> Interval::try_tick() {
    const auto now = SteadyClock::now();
    if (!schedule_.due(now)) return std::nullopt;
    return schedule_.take(now);
}

Awaitable<SteadyClock::time_point> Interval::tick() {
    const auto event = co_await fair_wait(on_tick(*this));
    co_return std::get<0>(event);
}

void Interval::subscribe(std::optional<detail::WaiterRegistration>& slot,
                         const std::weak_ptr<detail::Wakeable>& waiter) {
    const SteadyClock::time_point deadline = schedule_.deadline();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(alarm_->mutex);
        slot.emplace(alarm_, alarm_->mutex, alarm_->waiters, waiter);
        if (deadline == SteadyClock::time_point::max() || (alarm_->armed && alarm_->armed_for == deadline)) return;
        generation = ++alarm_->generation;
        alarm_->armed = true;
        alarm_->armed_for = deadline;
    }
    // A deadline that has passed since the task's last try completes at once.
    timer_.expires_at(wake_time(deadline));
    timer_.async_wait([alarm = alarm_, generation](const boost::system::error_code&) {
        std::vector<std::shared_ptr<detail::Wakeable>> waiters;
        {
            std::lock_guard lock(alarm->mutex);
            if (generation != alarm->generation) return;
            alarm->armed = false;
            alarm->waiters.pop_all(waiters);
        }
        detail::wake_all_from_handler(waiters);
    });
}

Awaitable<void> sleep_for(std::uint64_t nanoseconds) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                    saturating_add(SteadyClock::now(), nanoseconds));
    boost::system::error_code ignored;
    co_await timer.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
}

}  // namespace brindlemoor::runtime
