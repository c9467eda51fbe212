#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

// The multi-threaded runtime: one io_context run by N worker threads, a blocking pool for host-name lookups,
// and the process-wide task ids. The main thread is not a worker: it builds the runtime, spawns the main task,
// blocks on its join handle and then destroys the runtime.
namespace brindlemoor::runtime {

class CtrlC;
namespace detail {
class BlockingPool;
}

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
    boost::asio::io_context& io_context() noexcept { return io_context_; }
    detail::BlockingPool& blocking_pool() noexcept { return *blocking_pool_; }
    // See ctrl_c() in ctrl_c.hpp.
    CtrlC& ctrl_c();

private:
    void run_worker() noexcept;
    void stop_and_join() noexcept;
    void wait_for_sigint();

    boost::asio::io_context io_context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard_;
    std::vector<std::thread> workers_;
    std::unique_ptr<detail::BlockingPool> blocking_pool_;
    std::mutex ctrl_c_mutex_;
    std::shared_ptr<CtrlC> ctrl_c_;
    std::unique_ptr<boost::asio::signal_set> sigint_;
};

// Builds the runtime with the worker count from TOKIO_WORKER_THREADS (else the processor count). On failure it
// writes a panic report to standard error ("Failed building the Runtime: <error>", or the variable's message)
// and ends the process with status 101.
std::unique_ptr<Runtime> build_runtime_or_exit();

namespace detail {
// Draws the next task id.
TaskId next_task_id() noexcept;
// Names the calling thread as a runtime thread.
void name_runtime_thread() noexcept;
// Writes "thread '<thread>' panicked at <location>:\n<message>\n" to standard error in one write.
void write_panic_report(std::string_view thread, std::string_view location, std::string_view message);
}  // namespace detail

}  // namespace brindlemoor::runtime
