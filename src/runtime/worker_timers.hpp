#pragma once

#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/timer_queue.hpp"

// The periodic timers of one worker thread, served by one Asio timer: it is armed for the queue's wake time, so
// timers due within each other's slack share a wake-up, and each waiting task is resumed straight from it.
namespace brindlemoor::runtime::detail {

class WorkerTimers {
public:
    explicit WorkerTimers(boost::asio::io_context& context) : timer_(context) {}
    WorkerTimers(const WorkerTimers&) = delete;
    WorkerTimers& operator=(const WorkerTimers&) = delete;

    // Queues (or moves) `entry`, whose waiter is woken from the worker once its deadline has come.
    void schedule(TimerEntry& entry, SteadyClock::time_point deadline);
    // Takes `entry` out; the Asio timer is left as it is and finds nothing to do when it fires.
    void cancel(TimerEntry& entry) noexcept { queue_.cancel(entry); }

private:
    void arm();
    void fire_due();

    TimerQueue queue_;
    boost::asio::steady_timer timer_;
    SteadyClock::time_point armed_for_ = SteadyClock::time_point::max();
    std::uint64_t generation_ = 0;  // of the pending Asio wait: a replaced wait's completion is ignored
    bool firing_ = false;           // inside fire_due(), which arms once at its end
};

// The timers of the worker thread that runs the caller; null on other threads.
inline thread_local WorkerTimers* this_worker_timers = nullptr;

}  // namespace brindlemoor::runtime::detail
