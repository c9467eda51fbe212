#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/asio/execution.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/recycling_allocator.hpp>

#include "runtime/timer_queue.hpp"

// The event loop of one worker thread: its handler queue, its epoll set and its timers. Readiness is
// level-triggered, so a socket is registered once and never re-armed, and a wait for a datagram that is queued
// already costs no receive that finds nothing; timers wait in epoll_pwait2's nanosecond timeout, so firing one
// costs no timer descriptor call. Handlers that the worker queues for itself take no lock; other threads queue
// theirs under a lock and wake the loop through an eventfd.
namespace brindlemoor::runtime::detail {

// Throws errno as a std::system_error naming the call `what` that failed.
[[noreturn]] void throw_errno(const char* what);
// Reads and resets the counter of an eventfd or timerfd; 0 when it had none.
std::uint64_t take_counter(int fd) noexcept;

// A queued handler; run() and destroy() both free it.
class Operation {
public:
    virtual void run() = 0;
    virtual void destroy() noexcept = 0;
    Operation* next = nullptr;

protected:
    ~Operation() = default;
};

// FIFO of operations, linked through the operations themselves.
class OperationQueue {
public:
    bool empty() const noexcept { return !head_; }
    Operation* back() const noexcept { return tail_; }
    void push(Operation* op) noexcept {
        op->next = nullptr;
        (tail_ ? tail_->next : head_) = op;
        tail_ = op;
    }
    Operation* pop() noexcept {
        Operation* op = head_;
        if (op) {
            head_ = op->next;
            if (!head_) tail_ = nullptr;
        }
        return op;
    }
    void splice(OperationQueue& other) noexcept {
        if (!other.head_) return;
        (tail_ ? tail_->next : head_) = other.head_;
        tail_ = other.tail_;
        other.head_ = other.tail_ = nullptr;
    }

private:
    Operation* head_ = nullptr;
    Operation* tail_ = nullptr;
};

// A descriptor in a worker's epoll set; told on the worker thread what epoll reported for it.
class EventSource {
public:
    virtual ~EventSource() = default;
    virtual void on_events(std::uint32_t events) = 0;
};

// How a loop sleeps until its next timer: in epoll_pwait2's timeout where the kernel has it, else (and for tests)
// on a timerfd in the epoll set.
enum class TimerWakeUp { EpollTimeoutWhereAvailable, Timerfd };

class WorkerLoop {
public:
    // Throws std::system_error when the epoll set or an eventfd or timerfd cannot be made.
    explicit WorkerLoop(TimerWakeUp timer_wake_up = TimerWakeUp::EpollTimeoutWhereAvailable);
    WorkerLoop(const WorkerLoop&) = delete;
    WorkerLoop& operator=(const WorkerLoop&) = delete;
    ~WorkerLoop();

    // On the worker thread: runs queued handlers, readiness and due timers until stop().
    void run();
    // From any thread: run() returns once the handler that runs now has returned; queued handlers stay queued.
    void stop() noexcept;

    // From any thread: queues `op` to run on this worker.
    void post(Operation* op) noexcept;

    // Adds, changes or removes (events 0) a descriptor's registration. Only its owner calls this, with the
    // `events` it had set before as `previous`. Throws std::system_error when epoll refuses.
    void update_watch(int fd, std::uint32_t previous, std::uint32_t events, EventSource& source);
    // Takes a descriptor out of the set before it is closed.
    void remove_watch(int fd) noexcept;
    // Frees `source` once the events read with it have been handed out (its descriptor has left the set).
    void retire(std::unique_ptr<EventSource> source);

    // Counts the epoll waits that reported every ready descriptor (fewer than the most one call hands out). A
    // descriptor registered level-triggered for reading that a later wait than the one counted when it was last
    // read from did not report had nothing queued then.
    std::uint64_t complete_waits() const noexcept { return complete_waits_; }

    TimerQueue& timers() noexcept { return timers_; }
    // The context that executors of this worker name; it also gives the worker thread Asio's per-thread
    // recycling of coroutine frames and handler memory, which live only inside a running io_context.
    boost::asio::io_context& context() noexcept { return host_; }

    // After run() has ended: destroys the queued handlers without running them; false when there were none.
    bool drop_queued() noexcept;

private:
    void loop();
    void run_round();
    void wait_for_events(bool poll_only);
    void dispatch(const epoll_event& event);
    void take_remote() noexcept;
    void signal() noexcept;

    int epoll_fd_ = -1;
    int wake_fd_ = -1;    // eventfd: other threads' handlers, or stop()
    int timer_fd_ = -1;   // only where epoll_pwait2 is missing (Linux before 5.11)
    SteadyClock::time_point timer_fd_armed_ = SteadyClock::time_point::max();
    OperationQueue local_;
    std::mutex remote_mutex_;
    OperationQueue remote_;
    std::atomic<bool> wake_signalled_{false};
    std::atomic<bool> stopped_{false};
    std::uint64_t complete_waits_ = 0;
    TimerQueue timers_;
    std::vector<std::unique_ptr<EventSource>> retired_;
    std::vector<epoll_event> events_;
    boost::asio::io_context host_{1};
};

// The loop of the worker thread that runs the caller; null on other threads.
inline thread_local WorkerLoop* this_worker_loop = nullptr;

// A queued function, its memory from Asio's per-thread recycling allocator.
template <typename Function>
class FunctionOperation final : public Operation {
public:
    using Allocator = boost::asio::recycling_allocator<FunctionOperation>;

    static Operation* make(Function function) {
        Allocator allocator;
        FunctionOperation* op = allocator.allocate(1);
        return new (op) FunctionOperation(std::move(function));
    }
    void run() override {
        Function function(std::move(function_));
        free();
        function();
    }
    void destroy() noexcept override { free(); }

private:
    explicit FunctionOperation(Function function) : function_(std::move(function)) {}
    void free() noexcept {
        this->~FunctionOperation();
        Allocator().deallocate(this, 1);
    }

    Function function_;
};

// The executor of a worker: what it runs, it runs on that worker's thread, never inside the caller.
class WorkerExecutor {
public:
    explicit WorkerExecutor(WorkerLoop& loop) noexcept : loop_(&loop) {}

    template <typename Function>
    void execute(Function&& function) const {
        loop_->post(FunctionOperation<std::decay_t<Function>>::make(std::forward<Function>(function)));
    }

    boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
        return loop_->context();
    }
    static constexpr boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) noexcept {
        return boost::asio::execution::blocking.never;
    }
    WorkerExecutor require(boost::asio::execution::blocking_t::never_t) const noexcept { return *this; }

    friend bool operator==(const WorkerExecutor& a, const WorkerExecutor& b) noexcept { return a.loop_ == b.loop_; }
    friend bool operator!=(const WorkerExecutor& a, const WorkerExecutor& b) noexcept { return a.loop_ != b.loop_; }

private:
    WorkerLoop* loop_;
};

}  // namespace brindlemoor::runtime::detail
