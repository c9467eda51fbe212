#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/wait.hpp"

// A bounded multi-producer, single-consumer channel between tasks on any worker threads. Messages arrive in the
// order they were placed. Senders are copyable; when the last copy goes, the receiver takes what is left and
// then sees the channel closed. When the receiver goes, every send (waiting or later) drops its message quietly.
namespace brindlemoor::runtime {

namespace detail {

template <typename T>
struct ChannelState {
    explicit ChannelState(std::size_t capacity_) : capacity(capacity_) {}

    std::mutex mutex;
    std::deque<T> queue;
    const std::size_t capacity;
    bool senders_gone = false;
    bool receiver_gone = false;
    WaiterList receiver_waiters;  // the receiver's waits for a message or the close
    WaiterList sender_waiters;    // senders waiting for room, in arrival order
};

// The sending side shared by all copies of a Sender; its end is the end of all senders.
template <typename T>
class SenderGroup {
public:
    explicit SenderGroup(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
    SenderGroup(const SenderGroup&) = delete;
    SenderGroup& operator=(const SenderGroup&) = delete;
    ~SenderGroup() {
        update_and_wake_all(state_->mutex, state_->receiver_waiters, [this] { state_->senders_gone = true; });
    }
    const std::shared_ptr<ChannelState<T>>& state() const noexcept { return state_; }

private:
    std::shared_ptr<ChannelState<T>> state_;
};

// A sender's wait for room (or for the receiver to go).
template <typename T>
struct RoomBranch {
    std::shared_ptr<ChannelState<T>> state;
    void subscribe(std::optional<WaiterRegistration>& slot, Wakeable& waiter) {
        std::lock_guard lock(state->mutex);
        const bool ready = state->receiver_gone || state->queue.size() < state->capacity;
        subscribe_or_wake(ready, slot, state, state->mutex, state->sender_waiters, waiter);
    }
};

}  // namespace detail

template <typename T>
struct Channel;

template <typename T>
class Sender {
public:

    // Places `value` in the channel, waiting while it is full. When the receiver is gone the value is dropped
    // and the call returns as after a successful send.
    Awaitable<void> send(T value) const {
        std::shared_ptr<detail::ChannelState<T>> state = group_->state();
        for (;;) {
            if (try_place(*state, value)) co_return;
            detail::RoomBranch<T> room{state};
            co_await detail::wait_ready(std::array<bool, 1>{true}, room);
        }
    }

private:
    template <typename U>
    friend std::optional<Channel<U>> make_channel(std::size_t capacity);
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state)
        : group_(std::make_shared<detail::SenderGroup<T>>(std::move(state))) {}

    // True when the value was placed or dropped; false when the channel is full.
    static bool try_place(detail::ChannelState<T>& state, T& value) {
        std::shared_ptr<detail::Wakeable> receiver;
        {
            std::lock_guard lock(state.mutex);
            if (state.receiver_gone) return true;
            if (state.queue.size() >= state.capacity) return false;
            state.queue.push_back(std::move(value));
            receiver = state.receiver_waiters.pop_live();
        }
        if (receiver) receiver->wake();
        return true;
    }

    std::shared_ptr<detail::SenderGroup<T>> group_;
};

template <typename T>
class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { release(); }

    // Takes the oldest message without waiting: a value, nothing (empty), or closed (no sender left and empty).
    Attempt<T> try_receive() {
        std::shared_ptr<detail::Wakeable> sender;
        Attempt<T> attempt;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->queue.empty()) {
                attempt.closed = state_->senders_gone;
                return attempt;
            }
            attempt.value.emplace(std::move(state_->queue.front()));
            state_->queue.pop_front();
            sender = state_->sender_waiters.pop_live();
        }
        if (sender) sender->wake();
        return attempt;
    }

    // Waits for the next message; empty once the channel is closed and empty.
    Awaitable<std::optional<T>> receive() {
        for (;;) {
            Attempt<T> attempt = try_receive();
            if (attempt.value || attempt.closed) co_return std::move(attempt.value);
            co_await detail::wait_ready(std::array<bool, 1>{true}, *this);
        }
    }

    // Fair-wait hook: registers a wait for a message or the close.
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        std::lock_guard lock(state_->mutex);
        const bool ready = !state_->queue.empty() || state_->senders_gone;
        detail::subscribe_or_wake(ready, slot, state_, state_->mutex, state_->receiver_waiters, waiter);
    }

private:
    template <typename U>
    friend std::optional<Channel<U>> make_channel(std::size_t capacity);
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    void release() {
        if (!state_) return;
        std::deque<T> dropped;
        detail::update_and_wake_all(state_->mutex, state_->sender_waiters, [&] {
            state_->receiver_gone = true;
            dropped.swap(state_->queue);
        });
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
struct Channel {
    Sender<T> sender;
    Receiver<T> receiver;
};

// A channel holding at most `capacity` messages; empty when capacity is 0 (such a channel could never take a
// message, so it is refused and the caller decides what to do).
template <typename T>
std::optional<Channel<T>> make_channel(std::size_t capacity) {
    if (capacity == 0) return std::nullopt;
    auto state = std::make_shared<detail::ChannelState<T>>(capacity);
    return Channel<T>{Sender<T>(state), Receiver<T>(state)};
}

// Fair-wait branch: the next message of `receiver`; disabled for the wait once the channel is closed and empty.
template <typename T>
struct MessageBranch {
    using value_type = T;
    Receiver<T>* receiver;
    Attempt<T> try_take() { return receiver->try_receive(); }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        receiver->subscribe(slot, waiter);
    }
};
template <typename T>
MessageBranch<T> on_message(Receiver<T>& receiver) {
    return MessageBranch<T>{&receiver};
}

}  // namespace brindlemoor::runtime
