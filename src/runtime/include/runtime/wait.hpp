#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/parked.hpp"
#include "runtime/waiter_list.hpp"
#include "shared/random.hpp"

// Waiting inside a task: yielding, and the fair wait over several event sources.
namespace brindlemoor::runtime {

template <typename T = void>
using Awaitable = boost::asio::awaitable<T>;
using Executor = boost::asio::any_io_executor;

// The outcome of one non-blocking attempt on an event source.
template <typename T>
struct Attempt {
    std::optional<T> value;  // the event, taken from the source
    bool closed = false;     // no event now and none can ever come (a channel closed and empty)
};

// What a branch can tell without trying it.
enum class BranchHint {
    MayBeReady,        // only a try tells
    Idle,              // surely no event now
    DecidedByWaiting,  // unknown, but a wait finds out as exactly as a try (a socket that epoll watches
                       // level-triggered reports a queued datagram at once)
};

// Lets the other tasks on this worker run, then continues.
Awaitable<void> yield_now();

namespace detail {

// Cooperative budget: a task whose waits keep completing at once yields now and then, so that a busy socket
// cannot starve the other tasks of its worker thread.
inline constexpr unsigned kCoopBudget = 64;
inline thread_local unsigned coop_spent = 0;
// Counts one operation that completed without waiting; true when the task should yield now.
inline bool coop_spend() noexcept {
    if (++coop_spent < kCoopBudget) return false;
    coop_spent = 0;
    return true;
}
inline void coop_reset() noexcept { coop_spent = 0; }

// A branch registers the waiting task with its source, which wakes the task when the branch may be ready.
template <typename B>
concept WaitBranch = requires(B& branch, std::optional<WaiterRegistration>& slot, Wakeable& waiter) {
    branch.subscribe(slot, waiter);
};

// One wait for readiness of several branches. While parked it owns the task's continuation, and the worker's
// ParkedWaits own it, so shutdown can drop the task. The first wake-up resumes the task on its own worker and
// ends every registration; nothing is cancelled, so a socket's registration and a timer's queue entry stay for
// the next turn. Only its worker touches it (and shutdown, once that worker has ended): sources on other threads
// reach it through a RemoteWaker, made for the first of them, so a wait for a socket or a timer takes neither a
// lock nor a reference count.
template <typename Handler, std::size_t N>
class ParkedWait final : public Wakeable, public Parked {
public:
    using Registrations = std::array<std::optional<WaiterRegistration>, N>;
    using Allocator = boost::asio::recycling_allocator<ParkedWait>;

    // Parks the task, then lets `subscribe_all(registrations, waiter)` register it with the sources (which may
    // wake it at once).
    template <typename SubscribeAll>
    static void park(Handler handler, ParkedWaits& home, SubscribeAll&& subscribe_all) {
        ParkedWait* wait = Allocator().allocate(1);
        new (wait) ParkedWait(std::move(handler), home);
        home.link(*wait);
        subscribe_all(wait->registrations_, static_cast<Wakeable&>(*wait));
    }

    void wake() override {
        if (std::exchange(woken_, true)) return;
        boost::asio::post(executor_, [this] { resume(); });
    }

    void wake_from_handler() override {
        if (!std::exchange(woken_, true)) resume();
    }

    std::weak_ptr<Wakeable> weak_reference() override {
        if (!remote_) {
            remote_ = std::allocate_shared<RemoteWaker>(boost::asio::recycling_allocator<RemoteWaker>(), *this);
        }
        return remote_;
    }

    void abandon() noexcept override {
        for (auto& registration : registrations_) registration.reset();
        free();
    }

private:
    // What other threads wake; it outlives the wait while a wake-up it posted is on its way.
    class RemoteWaker final : public Wakeable, public std::enable_shared_from_this<RemoteWaker> {
    public:
        explicit RemoteWaker(ParkedWait& wait) : wait_(&wait), executor_(wait.executor_) {}

        void wake() override {
            if (woken_.exchange(true, std::memory_order_acq_rel)) return;
            boost::asio::post(executor_, [self = this->shared_from_this()] {
                if (self->wait_) self->wait_->wake_from_handler();
            });
        }
        std::weak_ptr<Wakeable> weak_reference() override { return this->weak_from_this(); }
        // On the wait's worker: the wait has ended.
        void detach() noexcept { wait_ = nullptr; }

    private:
        ParkedWait* wait_;
        Executor executor_;
        std::atomic<bool> woken_{false};
    };

    ParkedWait(Handler handler, ParkedWaits& home)
        : handler_(std::move(handler)), executor_(boost::asio::get_associated_executor(handler_)), home_(home) {}

    // On the task's worker.
    void resume() {
        for (auto& registration : registrations_) registration.reset();
        home_.unlink(*this);
        Handler handler(std::move(handler_));
        free();
        std::move(handler)();
    }

    void free() noexcept {
        if (remote_) remote_->detach();
        this->~ParkedWait();
        Allocator().deallocate(this, 1);
    }

    Handler handler_;
    Executor executor_;
    ParkedWaits& home_;
    Registrations registrations_;
    std::shared_ptr<RemoteWaker> remote_;
    bool woken_ = false;
};

// Waits until at least one enabled branch may be ready; takes nothing. Spurious returns are possible, so the
// caller tries its branches again afterwards. Only tasks wait (they run on the workers).
template <typename... Branches>
Awaitable<void> wait_ready(const std::array<bool, sizeof...(Branches)>& enabled, Branches&... branches) {
    static_assert((WaitBranch<Branches> && ...), "a branch must subscribe to its source");
    return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
        [enabled, pointers = std::tuple<Branches*...>(&branches...)](auto handler) {
            ParkedWaits* home = this_worker_parked_waits;
            if (!home) throw std::logic_error("only a task on a runtime worker can wait");
            using Wait = ParkedWait<decltype(handler), sizeof...(Branches)>;
            Wait::park(std::move(handler), *home, [&](typename Wait::Registrations& slots, Wakeable& waiter) {
                [&]<std::size_t... Is>(std::index_sequence<Is...>) {
                    ((enabled[Is] ? std::get<Is>(pointers)->subscribe(slots[Is], waiter) : void()), ...);
                }(std::index_sequence_for<Branches...>{});
            });
        },
        boost::asio::use_awaitable);
}

template <typename B>
BranchHint hint_of(const B& branch) {
    if constexpr (requires { branch.hint(); }) {
        return branch.hint();
    } else {
        return BranchHint::MayBeReady;
    }
}

// True when some enabled branch is decided by waiting and every other enabled branch is surely idle: then the
// poll can wait at once, sparing a receive that would most likely find nothing, and still take the same event.
template <typename Tuple, std::size_t N, std::size_t... Is>
bool waiting_decides(const std::array<bool, N>& enabled, const Tuple& branches, std::index_sequence<Is...>) {
    bool deferred = false;
    bool others_idle = true;
    const auto look = [&](bool on, const auto& branch) {
        if (!on) return;
        switch (hint_of(branch)) {
            case BranchHint::DecidedByWaiting: deferred = true; break;
            case BranchHint::Idle: break;
            case BranchHint::MayBeReady: others_idle = false; break;
        }
    };
    (look(enabled[Is], std::get<Is>(branches)), ...);
    return deferred && others_idle;
}

template <std::size_t I, typename Event, typename Tuple, std::size_t N>
bool try_branch(Tuple& branches, std::array<bool, N>& enabled, std::optional<Event>& event) {
    if (!enabled[I]) return false;
    auto attempt = std::get<I>(branches).try_take();
    if (attempt.value) {
        event.emplace(std::in_place_index<I>, std::move(*attempt.value));
        return true;
    }
    if (attempt.closed) enabled[I] = false;
    return false;
}

template <typename Event, typename Tuple, std::size_t N, std::size_t... Is>
bool try_branch_at(std::size_t index, Tuple& branches, std::array<bool, N>& enabled, std::optional<Event>& event,
                   std::index_sequence<Is...>) {
    bool taken = false;
    static_cast<void>(((index == Is ? (taken = try_branch<Is>(branches, enabled, event), true) : false) || ...));
    return taken;
}

}  // namespace detail

// The fair wait ("select") over several event sources. Each poll draws the first branch uniformly at random and
// tries the branches in cyclic order from it with non-blocking attempts; the first that yields an event wins,
// exactly one event per call. The branches that do not win lose nothing: their sources were only tried
// (a due tick stays due, a datagram stays queued, a message stays in its channel, a Ctrl+C stays noticed).
// A branch whose source is closed is disabled for the rest of this call. When nothing is ready, the task waits
// for readiness of every enabled branch and polls again with a fresh random start. While every other branch is
// surely idle, a branch that a wait decides as exactly (a socket whose readiness epoll reports) is not tried: the
// poll waits at once and takes the same event a moment later, without a receive that finds nothing. The result's
// index is the branch that fired (variant alternatives may repeat, so use index() and std::get<I>).
//
// Branches come from on_tick, on_datagram, on_message and on_ctrl_c. A branch type provides `value_type`,
// `Attempt<value_type> try_take()` and `subscribe(slot, waiter)`, which registers the waiter with the source
// (or wakes it at once when the source is ready already), and may provide `BranchHint hint()`. Throws std::logic_error when every branch is closed.
template <typename... Branches>
Awaitable<std::variant<typename Branches::value_type...>> fair_wait(Branches... branches) {
    // Branches are small handles passed as temporaries into a co_await; GCC 12 copies such temporaries
    // bitwise, which is only sound for trivially copyable types.
    static_assert((std::is_trivially_copyable_v<Branches> && ...), "fair-wait branches must be trivially copyable");
    using Event = std::variant<typename Branches::value_type...>;
    constexpr std::size_t kCount = sizeof...(Branches);
    std::array<bool, kCount> enabled{};
    enabled.fill(true);
    std::tuple<Branches&...> all(branches...);
    std::optional<Event> event;
    for (;;) {
        const std::size_t start = random_index(kCount);
        if (!detail::waiting_decides(enabled, all, std::index_sequence_for<Branches...>{})) {
            for (std::size_t k = 0; k < kCount && !event; ++k) {
                detail::try_branch_at((start + k) % kCount, all, enabled, event,
                                      std::index_sequence_for<Branches...>{});
            }
        }
        if (event) {
            if (detail::coop_spend()) co_await yield_now();
            co_return std::move(*event);
        }
        bool any_enabled = false;
        for (bool on : enabled) any_enabled = any_enabled || on;
        if (!any_enabled) throw std::logic_error("fair wait: every branch is closed");
        detail::coop_reset();
        co_await detail::wait_ready(enabled, branches...);
    }
}

}  // namespace brindlemoor::runtime
