#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/intrusive/list.hpp>

// Registration of waiting tasks with event sources. A source that other threads touch (a channel, Ctrl+C, a join
// handle, the result buffer) keeps one WaiterList per kind of event under its own mutex and holds its waiters
// weakly, so it never keeps a waiter alive and skips one that is gone. A source that only its task's worker thread
// touches (a socket's readiness, a timer) keeps a LocalWaiter: a plain pointer, with neither a lock nor a
// reference count on the path of every datagram.
namespace brindlemoor::runtime::detail {

// Something that a source can wake. Every call must be cheap and must not block.
class Wakeable {
public:
    // On the waiter's worker thread, also from inside a running task: schedules the waiter's resumption. A
    // reference from weak_reference() may be woken from any thread.
    virtual void wake() = 0;
    // From the waiter's worker loop outside any task (a socket's readiness, a timer): may resume the waiter at
    // once, sparing a trip through the worker's queue.
    virtual void wake_from_handler() { wake(); }
    // A weak reference, for a source that other threads wake.
    virtual std::weak_ptr<Wakeable> weak_reference() = 0;

protected:
    ~Wakeable() = default;
};

// FIFO of registrations; every member function requires the owning source's mutex to be held.
class WaiterList {
public:
    struct Node : boost::intrusive::list_base_hook<> {
        std::weak_ptr<Wakeable> target;
    };

    void push(Node& node) noexcept { nodes_.push_back(node); }
    // Does nothing for a node that has left already.
    void remove(Node& node) noexcept {
        if (node.is_linked()) nodes_.erase(nodes_.iterator_to(node));
    }

    // Unlinks registrations from the front until one whose waiter still exists; that waiter, or null.
    std::shared_ptr<Wakeable> pop_live() noexcept {
        while (!nodes_.empty()) {
            Node& node = nodes_.front();
            nodes_.pop_front();
            if (auto target = node.target.lock()) return target;
        }
        return nullptr;
    }

private:
    boost::intrusive::list<Node, boost::intrusive::constant_time_size<false>> nodes_;
};

// The one waiter of a source that only its own worker thread touches.
struct LocalWaiter {
    Wakeable* target = nullptr;

    // From a completion handler on that worker: wakes the waiter, if any, which then leaves.
    void wake_from_handler() {
        if (Wakeable* waiter = std::exchange(target, nullptr)) waiter->wake_from_handler();
    }
};

// One waiter's place with a source; it leaves on destruction. A place in a WaiterList is made with the source's
// mutex held and keeps the source alive, so the list and mutex outlive it. A LocalWaiter belongs to an object of
// the waiting task itself, which outlives the task's waits.
class WaiterRegistration {
public:
    WaiterRegistration(std::shared_ptr<void> source, std::mutex& mutex, WaiterList& list, Wakeable& target)
        : source_(std::move(source)), mutex_(&mutex), list_(&list) {
        node_.target = target.weak_reference();
        list_->push(node_);
    }
    WaiterRegistration(LocalWaiter& local, Wakeable& target) noexcept : local_(&local) { local.target = &target; }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;
    ~WaiterRegistration() {
        if (local_) {
            local_->target = nullptr;
            return;
        }
        std::lock_guard lock(*mutex_);
        list_->remove(node_);
    }

private:
    LocalWaiter* local_ = nullptr;
    std::shared_ptr<void> source_;
    std::mutex* mutex_ = nullptr;
    WaiterList* list_ = nullptr;
    WaiterList::Node node_;
};

// What a source's subscribe() does, under its mutex: wake at once when the event is there already (so an event
// between the caller's last try and the registration is never missed), otherwise register.
inline void subscribe_or_wake(bool ready_now, std::optional<WaiterRegistration>& slot, std::shared_ptr<void> source,
                              std::mutex& mutex, WaiterList& list, Wakeable& target) {
    if (ready_now) {
        target.wake();
        return;
    }
    slot.emplace(std::move(source), mutex, list, target);
}

// The same for a source that only its own worker thread touches.
inline void subscribe_or_wake(bool ready_now, std::optional<WaiterRegistration>& slot, LocalWaiter& local,
                              Wakeable& target) {
    if (ready_now) {
        target.wake();
        return;
    }
    slot.emplace(local, target);
}

// Changes a source's state under its mutex with `update`, then wakes every waiter registered by then, one at a
// time and outside the lock (a woken waiter may register again at once; it is woken once more at worst).
template <typename Update>
void update_and_wake_all(std::mutex& mutex, WaiterList& list, Update&& update) {
    std::shared_ptr<Wakeable> waiter;
    {
        std::lock_guard lock(mutex);
        update();
        waiter = list.pop_live();
    }
    while (waiter) {
        waiter->wake();
        std::lock_guard lock(mutex);
        waiter = list.pop_live();
    }
}

}  // namespace brindlemoor::runtime::detail
