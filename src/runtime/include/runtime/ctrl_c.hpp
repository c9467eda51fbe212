#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/wait.hpp"
#include "runtime/waiter_list.hpp"

// Ctrl+C (SIGINT) as an event that tasks can take. Once installed, SIGINT never has its default effect: every
// Ctrl+C sets a pending notice that stays until a task takes it, also when it arrives while the task is busy.
namespace brindlemoor::runtime {

// The value of a fair wait's Ctrl+C branch.
struct CtrlCEvent {};

class CtrlC : public std::enable_shared_from_this<CtrlC> {
public:
    // Takes the pending notice: true once for every run of Ctrl+C presses noticed since the last take.
    bool try_take() noexcept { return pending_.exchange(false, std::memory_order_acq_rel); }

    // Sets the notice and wakes the waiting tasks. Called by the signal handler, and when the notification
    // facility fails (an error of the facility ends a run like a Ctrl+C).
    void notice();

    // Fair-wait hook: registers a wait for the notice.
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter);

private:
    std::atomic<bool> pending_{false};
    std::mutex mutex_;
    detail::WaiterList waiters_;
};

// The process's Ctrl+C notice of the current runtime; the first call installs the SIGINT handler (before it,
// SIGINT keeps its default effect). Thread-safe. Throws std::logic_error when no runtime exists.
CtrlC& ctrl_c();

// Fair-wait branch: a pending Ctrl+C.
struct CtrlCBranch {
    using value_type = CtrlCEvent;
    CtrlC* source;
    Attempt<CtrlCEvent> try_take() {
        if (source->try_take()) return {CtrlCEvent{}, false};
        return {};
    }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        source->subscribe(slot, waiter);
    }
};
inline CtrlCBranch on_ctrl_c(CtrlC& source) { return CtrlCBranch{&source}; }

}  // namespace brindlemoor::runtime
