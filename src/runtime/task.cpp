#include "runtime/task.hpp"

#include <fmt/format.h>

#include "shared/debug_text.hpp"

namespace brindlemoor::runtime {

std::string JoinError::to_string() const {
    if (panic_text_) return fmt::format("JoinError::Panic(Id({}), {}, ...)", id_, debug_quoted(*panic_text_));
    return fmt::format("JoinError::Panic(Id({}), ...)", id_);
}

Awaitable<JoinOutcome> JoinHandle::join() const {
    std::shared_ptr<detail::JoinState> state = state_;
    for (;;) {
        if (auto outcome = state->outcome()) co_return std::move(*outcome);
        co_await detail::wait_ready(std::array<bool, 1>{true}, *state);
    }
}

namespace detail {

void JoinState::finish(std::exception_ptr panic) {
    JoinOutcome outcome;
    if (panic) outcome.panic.emplace(id_, report_escaped_exception(fmt::format("task Id({})", id_), std::move(panic)));
    update_and_wake_all(mutex_, waiters_, [&] { outcome_ = std::move(outcome); });
    finished_.notify_all();
}

std::optional<JoinOutcome> JoinState::outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
}

JoinOutcome JoinState::wait_blocking() const {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return outcome_.has_value(); });
    return *outcome_;
}

void JoinState::subscribe(std::optional<WaiterRegistration>& slot, Wakeable& waiter) {
    std::lock_guard lock(mutex_);
    subscribe_or_wake(outcome_.has_value(), slot, shared_from_this(), mutex_, waiters_, waiter);
}

}  // namespace detail
}  // namespace brindlemoor::runtime
