#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/intrusive_list.hpp"

// Registration of waiting tasks with event sources that are not Asio objects (channels, Ctrl+C, join handles).
// A source keeps one WaiterList per kind of event under its own mutex; a waiting task registers a Wakeable
// that it holds weakly, so a source never keeps a waiter alive and a waiter that is gone is skipped.
namespace brindlemoor::runtime::detail {

// Something that a source can wake. Both calls must be cheap and must not block.
class Wakeable {
public:
    // From any thread, also from inside a running task: schedules the waiter's resumption.
    virtual void wake() = 0;
    // From a completion handler of an Asio object: may resume the waiter at once when the handler runs on the
    // waiter's own worker thread, sparing a trip through the worker's queue.
    virtual void wake_from_handler() { wake(); }

protected:
    ~Wakeable() = default;
};

// FIFO of registrations; every member function requires the owning source's mutex to be held.
class WaiterList {
public:
    struct Node : IntrusiveList<Node>::Hook {
        std::weak_ptr<Wakeable> target;
    };

    void push(Node& node) noexcept { nodes_.push_back(node); }
    void remove(Node& node) noexcept { nodes_.remove(node); }

    // Unlinks registrations from the front until one whose waiter still exists; that waiter, or null.
    std::shared_ptr<Wakeable> pop_live() noexcept {
        while (Node* node = nodes_.front()) {
            nodes_.remove(*node);
            if (auto target = node->target.lock()) return target;
        }
        return nullptr;
    }

    // Unlinks every registration and appends the waiters that still exist.
    void pop_all(std::vector<std::shared_ptr<Wakeable>>& out) {
        while (auto target = pop_live()) out.push_back(std::move(target));
    }

private:
    IntrusiveList<Node> nodes_;
};

// One waiter's place in a source's WaiterList. Constructed with the source's mutex held; unlinks itself on
// destruction. It keeps the source alive, so the list and mutex outlive it.
class WaiterRegistration {
public:
    WaiterRegistration(std::shared_ptr<void> source, std::mutex& mutex, WaiterList& list,
                       std::weak_ptr<Wakeable> target)
        : source_(std::move(source)), mutex_(&mutex), list_(&list) {
        node_.target = std::move(target);
        list_->push(node_);
    }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;
    ~WaiterRegistration() {
        std::lock_guard lock(*mutex_);
        list_->remove(node_);
    }

private:
    std::shared_ptr<void> source_;
    std::mutex* mutex_;
    WaiterList* list_;
    WaiterList::Node node_;
};

// What a source's subscribe() does, under its mutex: wake at once when the event is there already (so an event
// between the caller's last try and the registration is never missed), otherwise register.
inline void subscribe_or_wake(bool ready_now, std::optional<WaiterRegistration>& slot, std::shared_ptr<void> source,
                              std::mutex& mutex, WaiterList& list, const std::weak_ptr<Wakeable>& target) {
    if (ready_now) {
        if (auto waiter = target.lock()) waiter->wake();
        return;
    }
    slot.emplace(std::move(source), mutex, list, target);
}

// Wakes every waiter taken from a list; called after the source's mutex has been released.
inline void wake_all(std::vector<std::shared_ptr<Wakeable>>& waiters) {
    for (auto& waiter : waiters) waiter->wake();
    waiters.clear();
}

// The same from a completion handler of an Asio object.
inline void wake_all_from_handler(std::vector<std::shared_ptr<Wakeable>>& waiters) {
    for (auto& waiter : waiters) waiter->wake_from_handler();
    waiters.clear();
}

}  // namespace brindlemoor::runtime::detail
