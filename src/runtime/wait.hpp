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
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/random.hpp"
#include "runtime/waiter_list.hpp"

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

// A branch that waits through an Asio object (socket readiness, timer deadline).
template <typename B>
concept AsioWaitBranch = requires(B& branch, void (*handler)(boost::system::error_code)) {
    branch.async_wait_ready(handler);
    branch.cancel_wait();
};

// An Asio branch that only waits for a deadline: of several such branches only the earliest needs a timer.
template <typename B>
concept DeadlineBranch = AsioWaitBranch<B> && requires(const B& branch) {
    { branch.deadline() } -> std::convertible_to<boost::asio::steady_timer::time_point>;
};

// A branch whose source is ours (channel, Ctrl+C, join handle): it registers the waiter with the source.
template <typename B>
concept NotifyBranch = requires(B& branch, std::optional<WaiterRegistration>& slot, std::weak_ptr<Wakeable> w) {
    branch.subscribe(slot, w);
};

// One wait for readiness of several branches. Each Asio branch's wait and one "parker" timer (standing for all
// notify branches) are started; the first to complete cancels the others, and the task resumes once all have
// finished, so nothing refers to the task's objects afterwards. The pending operations own the group, and the
// group owns the task's continuation: when the runtime shuts down and destroys pending operations, the task is
// destroyed with them.
template <typename Handler, typename... Branches>
class WaitGroup final : public Wakeable,
                        public std::enable_shared_from_this<WaitGroup<Handler, Branches...>> {
public:
    static constexpr std::size_t kCount = sizeof...(Branches);

    WaitGroup(Handler handler, const std::array<bool, kCount>& enabled, std::tuple<Branches*...> branches)
        : handler_(std::move(handler)),
          executor_(boost::asio::get_associated_executor(*handler_)),
          enabled_(enabled),
          branches_(branches) {}

    void start() {
        earliest_deadline_branch_ = find_earliest_deadline(std::index_sequence_for<Branches...>{});
        start_each(std::index_sequence_for<Branches...>{});
        if (parker_) {
            ++pending_;
            parker_->async_wait(completion());
        }
    }

    // From any thread: a notify branch's source has (or may have) its event.
    void wake() override {
        if (fired_.load(std::memory_order_acquire)) return;
        boost::asio::post(executor_, [self = this->shared_from_this()] { self->parker_->cancel(); });
    }

private:
    struct Completion {
        std::shared_ptr<WaitGroup> group;
        void operator()(const boost::system::error_code&) const { group->on_done(); }
    };
    auto completion() { return boost::asio::bind_executor(executor_, Completion{this->shared_from_this()}); }

    // The enabled deadline branch that is due first; kCount when there is none.
    template <std::size_t... Is>
    std::size_t find_earliest_deadline(std::index_sequence<Is...>) const {
        std::size_t earliest = kCount;
        boost::asio::steady_timer::time_point earliest_deadline = boost::asio::steady_timer::time_point::max();
        const auto consider = [&](std::size_t index, const auto& branch) {
            using Branch = std::remove_cvref_t<decltype(branch)>;
            if constexpr (DeadlineBranch<Branch>) {
                if (enabled_[index] && (earliest == kCount || branch.deadline() < earliest_deadline)) {
                    earliest = index;
                    earliest_deadline = branch.deadline();
                }
            }
        };
        (consider(Is, *std::get<Is>(branches_)), ...);
        return earliest;
    }

    // Whether branch I takes part in this wait: enabled, and not a deadline branch that another one precedes.
    template <std::size_t I>
    bool armed() const {
        using Branch = std::remove_reference_t<decltype(*std::get<I>(branches_))>;
        if constexpr (DeadlineBranch<Branch>) return enabled_[I] && I == earliest_deadline_branch_;
        return enabled_[I];
    }

    template <std::size_t... Is>
    void start_each(std::index_sequence<Is...>) {
        (start_one<Is>(), ...);
    }

    template <std::size_t I>
    void start_one() {
        if (!armed<I>()) return;
        auto& branch = *std::get<I>(branches_);
        using Branch = std::remove_reference_t<decltype(branch)>;
        if constexpr (NotifyBranch<Branch>) {
            if (!parker_) parker_.emplace(executor_, boost::asio::steady_timer::time_point::max());
            branch.subscribe(registrations_[I], this->weak_from_this());
        } else {
            static_assert(AsioWaitBranch<Branch>, "a branch must wait through Asio or subscribe to its source");
            ++pending_;
            branch.async_wait_ready(completion());
        }
    }

    template <std::size_t... Is>
    void cancel_each(std::index_sequence<Is...>) {
        (cancel_one<Is>(), ...);
    }

    template <std::size_t I>
    void cancel_one() {
        if (!armed<I>()) return;
        using Branch = std::remove_reference_t<decltype(*std::get<I>(branches_))>;
        if constexpr (NotifyBranch<Branch>) {
            registrations_[I].reset();
        } else {
            std::get<I>(branches_)->cancel_wait();
        }
    }

    // Runs on the task's executor for every finished operation.
    void on_done() {
        if (!fired_.load(std::memory_order_relaxed)) {
            fired_.store(true, std::memory_order_release);
            cancel_each(std::index_sequence_for<Branches...>{});
            if (parker_) parker_->cancel();
        }
        if (--pending_ != 0) return;
        Handler handler = std::move(*handler_);
        handler_.reset();
        std::move(handler)();
    }

    std::optional<Handler> handler_;
    Executor executor_;
    std::array<bool, kCount> enabled_;
    std::tuple<Branches*...> branches_;
    std::array<std::optional<WaiterRegistration>, kCount> registrations_;
    std::optional<boost::asio::steady_timer> parker_;
    std::size_t earliest_deadline_branch_ = kCount;
    std::size_t pending_ = 0;
    std::atomic<bool> fired_{false};
};

// Waits until at least one enabled branch may be ready; takes nothing. Spurious returns are possible, so the
// caller tries its branches again afterwards.
template <typename... Branches>
Awaitable<void> wait_ready(const std::array<bool, sizeof...(Branches)>& enabled, Branches&... branches) {
    return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
        [enabled, pointers = std::tuple<Branches*...>(&branches...)](auto handler) {
            using Group = WaitGroup<decltype(handler), Branches...>;
            auto group = std::allocate_shared<Group>(boost::asio::recycling_allocator<Group>(), std::move(handler),
                                                     enabled, pointers);
            group->start();
        },
        boost::asio::use_awaitable);
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
// for readiness of every enabled branch and polls again with a fresh random start. The result's index is the
// branch that fired (variant alternatives may repeat, so use index() and std::get<I>).
//
// Branches come from on_tick, on_datagram, on_message and on_ctrl_c. A branch type provides `value_type`,
// `Attempt<value_type> try_take()`, and either `async_wait_ready(handler)` + `cancel_wait()` (Asio objects) or
// `subscribe(slot, waiter)` (sources of this layer). Throws std::logic_error when every branch is closed.
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
        for (std::size_t k = 0; k < kCount && !event; ++k) {
            detail::try_branch_at((start + k) % kCount, all, enabled, event, std::index_sequence_for<Branches...>{});
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
