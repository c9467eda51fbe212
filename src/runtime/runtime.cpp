#include "runtime/runtime.hpp"

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <fmt/format.h>

#include "debug_text.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/worker_threads.hpp"
#include "std_streams.hpp"

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
    write_stderr(fmt::format("thread '{}' panicked at {}:\n{}\n", thread, location, message));
}

}  // namespace detail

Runtime::Runtime(std::size_t worker_threads)
    : work_guard_(boost::asio::make_work_guard(io_context_)),
      blocking_pool_(std::make_unique<detail::BlockingPool>(kMaxBlockingThreads)) {
    if (worker_threads == 0) throw std::invalid_argument("a runtime needs at least one worker thread");
    Runtime* none = nullptr;
    if (!current_runtime.compare_exchange_strong(none, this)) {
        throw std::logic_error("a runtime exists already");
    }
    try {
        workers_.reserve(worker_threads);
        for (std::size_t i = 0; i < worker_threads; ++i) {
            static_cast<void>(detail::next_task_id());
            workers_.emplace_back([this] { run_worker(); });
        }
    } catch (...) {
        stop_and_join();
        current_runtime.store(nullptr);
        throw;
    }
}

Runtime::~Runtime() {
    stop_and_join();
    sigint_.reset();
    current_runtime.store(nullptr);
}

Runtime& Runtime::current() {
    Runtime* runtime = current_runtime.load();
    if (!runtime) throw std::logic_error("no runtime is running");
    return *runtime;
}

void Runtime::run_worker() noexcept {
    detail::name_runtime_thread();
    for (;;) {
        // Task bodies cannot throw into here (their exceptions end the task); this only keeps a worker alive if
        // some other handler throws.
        try {
            io_context_.run();
            return;
        } catch (const std::exception& error) {
            detail::write_panic_report(kWorkerThreadName, "a runtime handler", error.what());
        } catch (...) {
            detail::write_panic_report(kWorkerThreadName, "a runtime handler", "Box<dyn Any>");
        }
    }
}

void Runtime::stop_and_join() noexcept {
    work_guard_.reset();
    io_context_.stop();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    // Queued lookups hold suspended tasks; they are dropped here, before the io_context that their sockets use.
    blocking_pool_->shutdown();
}

CtrlC& Runtime::ctrl_c() {
    std::lock_guard lock(ctrl_c_mutex_);
    if (!ctrl_c_) {
        ctrl_c_ = std::make_shared<CtrlC>();
        sigint_ = std::make_unique<boost::asio::signal_set>(boost::asio::make_strand(io_context_));
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
        raw ? std::optional<std::string_view>(raw) : std::nullopt, std::thread::hardware_concurrency());
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
