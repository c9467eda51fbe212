#include "runtime/runtime.hpp"

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <fmt/format.h>

#include "available_processors.hpp"
#include "blocking_pool.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/parked.hpp"
#include "shared/debug_text.hpp"
#include "shared/std_streams.hpp"
#include "worker_threads.hpp"
#include "worker_timers.hpp"

namespace brindlemoor::runtime {
namespace {

std::atomic<TaskId> next_id{1};
std::atomic<Runtime*> current_runtime{nullptr};

// Enough for every session of a run resolving its host name at once without queueing behind a slow lookup.
constexpr std::size_t kMaxBlockingThreads = 64;

}  // namespace

namespace detail {

TaskId next_task_id() noexcept { return next_id.fetch_add(1, std::memory_order_relaxed); }

void name_runtime_thread() noexcept {
    // Linux keeps 15 characters plus the terminator; a longer name would be refused altogether.
    const std::string os_name(kWorkerThreadName.substr(0, 15));
    pthread_setname_np(pthread_self(), os_name.c_str());
}

void write_panic_report(std::string_view thread, std::string_view location, std::string_view message) {
    queue_stderr(fmt::format("thread '{}' panicked at {}:\n{}\n", thread, location, message));
}

std::optional<std::string> report_escaped_exception(std::string_view location, std::exception_ptr error) {
    std::optional<std::string> text;
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& escaped) {
        text = escaped.what();
    } catch (...) {
    }
    write_panic_report(kWorkerThreadName, location, text ? *text : "Box<dyn Any>");
    return text;
}

// One worker: its io_context, run by its thread alone, the waits its tasks are parked in and their timers.
class Worker {
public:
    Worker() : work_guard_(boost::asio::make_work_guard(context_)) {}

    void start() { thread_ = std::thread([this] { run(); }); }

    // Ends run() as soon as the running handler returns; queued handlers stay queued.
    void stop() noexcept {
        work_guard_.reset();
        context_.stop();
    }

    void join() noexcept {
        if (thread_.joinable()) thread_.join();
    }

    boost::asio::io_context::executor_type executor() noexcept { return context_.get_executor(); }

    // Drops the tasks parked in this layer's waits. Call once every worker has stopped.
    void abandon_parked_waits() noexcept { parked_.abandon_all(); }

    // Destroys the handlers, pending operations and tasks still in the context, while every other worker's
    // context still exists (a task being dropped may wake a task on another worker).
    void shut_down_context() noexcept { context_.shutdown(); }

private:
    // Only this worker's thread runs the context and touches its sockets and timers (the runtime's shutdown does
    // so only once that thread has ended), so Asio's per-socket locks are left out and handlers that the thread
    // posts to itself go to a private queue. Posts from other threads, and registrations, still lock.
    class Context : public boost::asio::io_context {
    public:
        Context() : boost::asio::io_context(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO) {}
        using boost::asio::io_context::shutdown;
    };

    void run() noexcept {
        name_runtime_thread();
        this_worker_parked_waits = &parked_;
        this_worker_timers = &timers_;
        for (;;) {
            // Task bodies cannot throw into here (their exceptions end the task); this only keeps a worker alive
            // if some other handler throws.
            try {
                context_.run();
                break;
            } catch (...) {
                report_escaped_exception("a runtime handler", std::current_exception());
            }
        }
        this_worker_timers = nullptr;
        this_worker_parked_waits = nullptr;
    }

    ParkedWaits parked_;  // outlives the context, whose queued wake-ups refer to parked waits
    Context context_;
    WorkerTimers timers_{context_};  // the tasks' periodic timers, on this context
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard_;
    std::thread thread_;
};

}  // namespace detail

Runtime::Runtime(std::size_t worker_threads)
    : blocking_pool_(std::make_unique<detail::BlockingPool>(kMaxBlockingThreads)) {
    if (worker_threads == 0) throw std::invalid_argument("a runtime needs at least one worker thread");
    Runtime* none = nullptr;
    if (!current_runtime.compare_exchange_strong(none, this)) {
        throw std::logic_error("a runtime exists already");
    }
    try {
        workers_.reserve(worker_threads);
        for (std::size_t i = 0; i < worker_threads; ++i) workers_.push_back(std::make_unique<detail::Worker>());
        for (auto& worker : workers_) {
            static_cast<void>(detail::next_task_id());
            worker->start();
        }
    } catch (...) {
        stop_and_join();
        current_runtime.store(nullptr);
        throw;
    }
}

Runtime::~Runtime() {
    stop_and_join();
    current_runtime.store(nullptr);
}

Runtime& Runtime::current() {
    Runtime* runtime = current_runtime.load();
    if (!runtime) throw std::logic_error("no runtime is running");
    return *runtime;
}

boost::asio::io_context::executor_type Runtime::next_task_executor() noexcept {
    const std::size_t index = next_worker_.fetch_add(1, std::memory_order_relaxed) % workers_.size();
    return workers_[index]->executor();
}

void Runtime::stop_and_join() noexcept {
    for (auto& worker : workers_) worker->stop();
    for (auto& worker : workers_) worker->join();
    // Every task still alive is dropped now, in an order that keeps what it refers to: queued lookups and parked
    // waits first, then the signal set, then whatever the contexts hold; the contexts themselves go last.
    blocking_pool_->shutdown();
    for (auto& worker : workers_) worker->abandon_parked_waits();
    sigint_.reset();
    for (auto& worker : workers_) worker->shut_down_context();
    workers_.clear();
}

CtrlC& Runtime::ctrl_c() {
    std::lock_guard lock(ctrl_c_mutex_);
    if (!ctrl_c_) {
        ctrl_c_ = std::make_shared<CtrlC>();
        sigint_ = std::make_unique<boost::asio::signal_set>(workers_.front()->executor());
        boost::system::error_code error;
        sigint_->add(SIGINT, error);
        if (error) {
            ctrl_c_->notice();
        } else {
            wait_for_sigint();
        }
    }
    return *ctrl_c_;
}

void Runtime::wait_for_sigint() {
    sigint_->async_wait([this](const boost::system::error_code& error, int) {
        if (error == boost::asio::error::operation_aborted) return;
        ctrl_c_->notice();
        if (!error) wait_for_sigint();
    });
}

std::unique_ptr<Runtime> build_runtime_or_exit() {
    constexpr std::string_view kThread = "main";
    constexpr std::string_view kLocation = "runtime start-up";
    const char* raw = std::getenv(std::string(kWorkerThreadsVariable).c_str());
    const WorkerThreadsSetting setting = worker_threads_setting(
        raw ? std::optional<std::string_view>(raw) : std::nullopt, available_processors());
    if (!setting.panic_message.empty()) {
        detail::write_panic_report(kThread, kLocation, setting.panic_message);
        exit_process(101);
    }
    std::string error_text;
    try {
        return std::make_unique<Runtime>(setting.count);
    } catch (const std::system_error& error) {
        error_text = fmt::format("Os {{ code: {}, message: {} }}", error.code().value(),
                                 debug_quoted(error.code().message()));
    } catch (const std::exception& error) {
        error_text = debug_quoted(error.what());
    }
    detail::write_panic_report(kThread, kLocation, "Failed building the Runtime: " + error_text);
    exit_process(101);
}

}  // namespace brindlemoor::runtime
