#pragma once

// The tasks that a worker thread holds suspended in waits of this layer. A parked wait owns its task's
// continuation, and the worker's list owns the parked wait, so that shutdown can drop every such task (its frame
// and everything in it) while the workers' io_contexts still exist.
namespace brindlemoor::runtime::detail {

class Parked {
public:
    // Drops the continuation without running it (shutdown); the wait has been unlinked already.
    virtual void abandon() noexcept = 0;

protected:
    ~Parked() = default;

private:
    friend class ParkedWaits;
    Parked* prev_ = nullptr;
    Parked* next_ = nullptr;
};

// Intrusive list, used only by its worker thread (and by the runtime's shutdown once that thread has ended).
class ParkedWaits {
public:
    void link(Parked& wait) noexcept {
        wait.prev_ = tail_;
        wait.next_ = nullptr;
        (tail_ ? tail_->next_ : head_) = &wait;
        tail_ = &wait;
    }

    void unlink(Parked& wait) noexcept {
        (wait.prev_ ? wait.prev_->next_ : head_) = wait.next_;
        (wait.next_ ? wait.next_->prev_ : tail_) = wait.prev_;
        wait.prev_ = wait.next_ = nullptr;
    }

    // Abandons the waits one by one; dropping a task may destroy objects that other parked waits refer to, so
    // the list is read afresh after every step.
    void abandon_all() noexcept {
        while (head_) {
            Parked& wait = *head_;
            unlink(wait);
            wait.abandon();
        }
    }

private:
    Parked* head_ = nullptr;
    Parked* tail_ = nullptr;
};

// The list of the worker thread that runs the caller; null on other threads.
inline thread_local ParkedWaits* this_worker_parked_waits = nullptr;

}  // namespace brindlemoor::runtime::detail
