#include "runtime/runtime.hpp"

#include <pthread.h>
#include <sys/prctl.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "available_processors.hpp"
#include "blocking_pool.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/parked.hpp"
#include "shared/debug_text.hpp"
#include "shared/std_streams.hpp"
#include "sigint_watch.hpp"
#include "worker_loop.hpp"
#include "worker_threads.hpp"

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

// One worker: its event loop, run by its thread alone, and the waits its tasks are parked in.
class Worker {
public:
    void start() { thread_ = std::thread([this] { run(); }); }

    // Ends run() as soon as the running handler returns; queued handlers stay queued.
    void stop() noexcept { loop_.stop(); }

    void join() noexcept {
        if (thread_.joinable()) thread_.join();
    }

    boost::asio::any_io_executor executor() noexcept { return boost::asio::any_io_executor(WorkerExecutor(loop_)); }
    WorkerLoop& loop() noexcept { return loop_; }

    // Drops the tasks parked in this layer's waits. Call once every worker has stopped.
    void abandon_parked_waits() noexcept { parked_.abandon_all(); }

    // Destroys the handlers still queued (and the tasks they hold) without running them; false when there were
    // none. Dropping a task may queue a wake-up on another worker, so call it for all workers until none drops.
    bool drop_queued() noexcept { return loop_.drop_queued(); }

private:
    void run() noexcept {
        name_runtime_thread();
        // The kernel lets a sleep end up to 50 us late by default, on top of each timer's own slack; a send at
        // 10 000/s has 5 us.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        this_worker_parked_waits = &parked_;
        loop_.run();
        this_worker_parked_waits = nullptr;
    }

    ParkedWaits parked_;  // outlives the loop, whose queued wake-ups refer to parked waits
    WorkerLoop loop_;
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

boost::asio::any_io_executor Runtime::next_task_executor() noexcept {
    const std::size_t index = next_worker_.fetch_add(1, std::memory_order_relaxed) % workers_.size();
    return workers_[index]->executor();
}

void Runtime::stop_and_join() noexcept {
    for (auto& worker : workers_) worker->stop();
    for (auto& worker : workers_) worker->join();
    // Every task still alive is dropped now, in an order that keeps what it refers to: queued lookups and parked
    // waits first, then the Ctrl+C watch, then whatever the queues hold; the loops themselves go last.
    blocking_pool_->shutdown();
    for (auto& worker : workers_) worker->abandon_parked_waits();
    sigint_.reset();
    for (bool dropped = true; dropped;) {
        dropped = false;
        for (auto& worker : workers_) dropped = worker->drop_queued() || dropped;
    }
    workers_.clear();
}

CtrlC& Runtime::ctrl_c() {
    std::lock_guard lock(ctrl_c_mutex_);
    if (!ctrl_c_) {
        ctrl_c_ = std::make_shared<CtrlC>();
        try {
            sigint_ = std::make_unique<detail::SigintWatch>(workers_.front()->loop(), *ctrl_c_);
        } catch (const std::system_error&) {
            ctrl_c_->notice();
        }
    }
    return *ctrl_c_;
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
