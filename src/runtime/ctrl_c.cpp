#include "runtime/ctrl_c.hpp"

#include "runtime/runtime.hpp"

namespace brindlemoor::runtime {

void CtrlC::notice() {
    detail::update_and_wake_all(mutex_, waiters_, [this] { pending_.store(true, std::memory_order_release); });
}

void CtrlC::subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    std::lock_guard lock(mutex_);
    detail::subscribe_or_wake(pending_.load(std::memory_order_acquire), slot, shared_from_this(), mutex_, waiters_,
                              waiter);
}

CtrlC& ctrl_c() { return Runtime::current().ctrl_c(); }

}  // namespace brindlemoor::runtime
