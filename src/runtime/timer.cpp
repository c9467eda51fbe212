#include "runtime/timer.hpp"

#include <stdexcept>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>

#include "worker_timers.hpp"

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

void Interval::subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    const SteadyClock::time_point deadline = schedule_.deadline();
    if (deadline == SteadyClock::time_point::max()) return;
    // A deadline that has passed since the task's last try.
    if (SteadyClock::now() >= deadline) {
        waiter.wake();
        return;
    }
    if (!timers_) {
        timers_ = detail::this_worker_timers;
        if (!timers_) throw std::logic_error("only a task on a runtime worker can wait for a timer");
    }
    slot.emplace(entry_.waiter, waiter);
    if (!entry_.queued() || entry_.deadline != deadline) timers_->schedule(entry_, deadline);
}

Awaitable<void> sleep_for(std::uint64_t nanoseconds) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                    saturating_add(SteadyClock::now(), nanoseconds));
    boost::system::error_code ignored;
    co_await timer.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
}

}  // namespace brindlemoor::runtime
