#include "runtime/timer.hpp"

#include <stdexcept>

#include <boost/asio/redirect_error.hpp>

namespace brindlemoor::runtime {

namespace {
TickSchedule checked_schedule(std::uint64_t period_ns, MissedTickBehavior behavior) {
    if (period_ns == 0) throw std::invalid_argument("Interval period must be non-zero");
    return TickSchedule(SteadyClock::now(), period_ns, behavior);
}
}  // namespace

Interval::Interval(const Executor& executor, std::uint64_t period_ns, MissedTickBehavior behavior)
    : schedule_(checked_schedule(period_ns, behavior)), timer_(executor) {}

std::optional<SteadyClock::time_point> Interval::try_tick() {
    const auto now = SteadyClock::now();
    if (!schedule_.due(now)) return std::nullopt;
    return schedule_.take(now);
}

Awaitable<SteadyClock::time_point> Interval::tick() {
    for (;;) {
        if (auto taken = try_tick()) co_return *taken;
        timer_.expires_at(schedule_.deadline());
        boost::system::error_code ignored;
        co_await timer_.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
    }
}

Awaitable<void> sleep_for(std::uint64_t nanoseconds) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                    saturating_add(SteadyClock::now(), nanoseconds));
    boost::system::error_code ignored;
    co_await timer.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
}

}  // namespace brindlemoor::runtime
