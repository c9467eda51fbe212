#include "worker_timers.hpp"

namespace brindlemoor::runtime::detail {

void WorkerTimers::schedule(TimerEntry& entry, SteadyClock::time_point deadline) {
    queue_.schedule(entry, deadline);
    if (!firing_) arm();
}

void WorkerTimers::arm() {
    const SteadyClock::time_point wake = queue_.wake_time();
    // A wait that fires no later serves the new wake time too: it takes what is due then and arms again, which
    // spares a cancel and a new registration for every timer that is queued behind the earliest.
    if (wake >= armed_for_) return;
    armed_for_ = wake;
    timer_.expires_at(wake);  // cancels the pending wait, whose completion is then ignored
    timer_.async_wait([this, generation = ++generation_](const boost::system::error_code&) {
        if (generation != generation_) return;
        armed_for_ = SteadyClock::time_point::max();
        fire_due();
    });
}

void WorkerTimers::fire_due() {
    // The woken tasks run right here and may queue their timers again; the wait is armed once they are done.
    struct Firing {
        WorkerTimers& timers;
        explicit Firing(WorkerTimers& owner) : timers(owner) { timers.firing_ = true; }
        ~Firing() {
            timers.firing_ = false;
            timers.arm();
        }
    } firing(*this);
    queue_.take_due(SteadyClock::now(), [](TimerEntry& entry) { entry.waiter.wake_from_handler(); });
}

}  // namespace brindlemoor::runtime::detail
