#pragma once

#include <boost/intrusive/list.hpp>

// The tasks that a worker thread holds suspended in waits of this layer. A parked wait owns its task's
// continuation, and the worker's list owns the parked wait, so that shutdown can drop every such task (its frame
// and everything in it) while the workers' loops still exist.
namespace brindlemoor::runtime::detail {

class Parked : public boost::intrusive::list_base_hook<> {
public:
    // Drops the continuation without running it (shutdown); the wait has been unlinked already.
    virtual void abandon() noexcept = 0;

protected:
    ~Parked() = default;
};

// Used only by its worker thread (and by the runtime's shutdown once that thread has ended).
class ParkedWaits {
public:
    void link(Parked& wait) noexcept { waits_.push_back(wait); }
    void unlink(Parked& wait) noexcept { waits_.erase(waits_.iterator_to(wait)); }

    // Abandons the waits one by one; dropping a task may destroy objects that other parked waits refer to, so
    // the list is read afresh after every step.
    void abandon_all() noexcept {
        while (!waits_.empty()) {
            Parked& wait = waits_.front();
            waits_.pop_front();
            wait.abandon();
        }
    }

private:
    boost::intrusive::list<Parked, boost::intrusive::constant_time_size<false>> waits_;
};

// The list of the worker thread that runs the caller; null on other threads.
inline thread_local ParkedWaits* this_worker_parked_waits = nullptr;

}  // namespace brindlemoor::runtime::detail
