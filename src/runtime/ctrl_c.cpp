#include "runtime/ctrl_c.hpp"

#include <vector>

#include "runtime/runtime.hpp"

namespace brindlemoor::runtime {

void CtrlC::notice() {
    pending_.store(true, std::memory_order_release);
    std::vector<std::shared_ptr<detail::Wakeable>> waiters;
    {
        std::lock_guard lock(mutex_);
        waiters_.pop_all(waiters);
    }
    detail::wake_all(waiters);
}

void CtrlC::subscribe(std::optional<detail::WaiterRegistration>& slot, const std::weak_ptr<detail::Wakeable>& waiter) {
    std::lock_guard lock(mutex_);
    detail::subscribe_or_wake(pending_.load(std::memory_order_acquire), slot, shared_from_this(), mutex_, waiters_,
                              waiter);
}

CtrlC& ctrl_c() { return Runtime::current().ctrl_c(); }

}  // namespace brindlemoor::runtime
