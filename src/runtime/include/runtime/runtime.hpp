#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

// The multi-threaded runtime: N worker threads, each running an event loop of its own, a blocking pool for
// host-name lookups, and the process-wide task ids. A task is placed on one worker when it is spawned and stays
// there, so it never runs on two threads at once, its sockets and timers live in its worker's loop, and no worker's
// scheduler is shared (no lock contention, no hand-over between threads). Cross-worker wake-ups (channel,
// join, Ctrl+C, lookups) are posted to the waiting task's worker. The main thread is not a worker: it builds
// the runtime, spawns the main task, blocks on its join handle and then destroys the runtime.
namespace brindlemoor::runtime {

class CtrlC;
namespace detail {
class BlockingPool;
class SigintWatch;
class Worker;
}  // namespace detail

// A task's id: unique in the process, from one counter starting at 1 that every worker thread (while the
// runtime is built), every spawned task and every blocking job draws from, in start order.
using TaskId = std::uint64_t;

// The name of every worker and blocking-pool thread, as panic reports show it. The operating system keeps only
// its first 15 characters as the thread's name.
inline constexpr std::string_view kWorkerThreadName = "tokio-runtime-worker";

class Runtime {
public:
    // Starts `worker_threads` (at least 1) workers. Throws std::system_error when a thread cannot start, and
    // std::logic_error while another Runtime exists.
    explicit Runtime(std::size_t worker_threads);
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    // Shutdown: stops the workers, drops every task that is still alive without running it further (their
    // objects are destroyed, nothing is printed) and joins all threads. Call from outside the runtime's threads.
    ~Runtime();

    // The runtime that exists now. Throws std::logic_error when there is none.
    static Runtime& current();

    std::size_t worker_count() const noexcept { return workers_.size(); }
    // The executor of the worker that takes the next new task: the workers take new tasks in turn.
    boost::asio::any_io_executor next_task_executor() noexcept;
    detail::BlockingPool& blocking_pool() noexcept { return *blocking_pool_; }
    // See ctrl_c() in ctrl_c.hpp.
    CtrlC& ctrl_c();

private:
    void stop_and_join() noexcept;

    std::vector<std::unique_ptr<detail::Worker>> workers_;
    std::atomic<std::size_t> next_worker_{0};
    std::unique_ptr<detail::BlockingPool> blocking_pool_;
    std::mutex ctrl_c_mutex_;
    std::shared_ptr<CtrlC> ctrl_c_;
    std::unique_ptr<detail::SigintWatch> sigint_;
};

// Builds the runtime with the worker count from TOKIO_WORKER_THREADS (else the processors available to the
// process). On failure it writes a panic report to standard error ("Failed building the Runtime: <error>", or the
// variable's message) and ends the process with status 101.
std::unique_ptr<Runtime> build_runtime_or_exit();

namespace detail {
// Draws the next task id.
TaskId next_task_id() noexcept;
// Names the calling thread as a runtime thread.
void name_runtime_thread() noexcept;
// Queues "thread '<thread>' panicked at <location>:\n<message>\n" for standard error, as text that is never
// dropped.
void write_panic_report(std::string_view thread, std::string_view location, std::string_view message);
// Writes the panic report of an exception that escaped at `location` on a runtime thread, and yields its what()
// text; none (the report shows "Box<dyn Any>") when it was no std::exception.
std::optional<std::string> report_escaped_exception(std::string_view location, std::exception_ptr error);
}  // namespace detail

}  // namespace brindlemoor::runtime
