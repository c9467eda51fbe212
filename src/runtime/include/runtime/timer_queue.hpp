#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "runtime/tick_schedule.hpp"
#include "runtime/waiter_list.hpp"

// The timers of one worker thread, free of Asio and of any clock so that it can be tested with made-up instants.
// Each timer may fire up to its own slack after its deadline, never before it; the queue picks the one wake-up
// instant that serves the earliest deadlines within their slacks, so that timers due close together share one
// wake-up while every deadline stays exact.
namespace brindlemoor::runtime::detail {

// One timer's place in a queue, owned by the timer. Only the worker thread of its queue touches it.
struct TimerEntry {
    static constexpr std::size_t kNotQueued = std::numeric_limits<std::size_t>::max();

    SteadyClock::time_point deadline{};
    SteadyClock::duration slack{};  // how late the timer may fire; its owner's to set
    LocalWaiter waiter;  // the task waiting for this timer, if any
    std::size_t heap_index = kNotQueued;

    bool queued() const noexcept { return heap_index != kNotQueued; }
};

class TimerQueue {
public:
    TimerQueue() = default;
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    bool empty() const noexcept { return heap_.empty(); }

    // Queues `entry` for `deadline`, or moves it there when it is queued already.
    void schedule(TimerEntry& entry, SteadyClock::time_point deadline);

    // Takes `entry` out; nothing happens when it is not queued.
    void cancel(TimerEntry& entry) noexcept;

    // The latest instant that is not later than any queued deadline plus its slack; the clock's maximum when the
    // queue is empty.
    SteadyClock::time_point wake_time() const noexcept;

    // Takes out every entry whose deadline is not after `now`, earliest first, and calls `fire(entry)` for each
    // once it is out. `fire` may queue or cancel entries, also the one it was given.
    template <typename Fire>
    void take_due(SteadyClock::time_point now, Fire&& fire) {
        while (!heap_.empty() && heap_.front()->deadline <= now) {
            TimerEntry& entry = *heap_.front();
            cancel(entry);
            fire(entry);
        }
    }

private:
    void place(std::size_t index, TimerEntry& entry) noexcept;
    void sift_up(std::size_t index) noexcept;
    void sift_down(std::size_t index) noexcept;

    std::vector<TimerEntry*> heap_;  // a binary min-heap by deadline
};

}  // namespace brindlemoor::runtime::detail
