#pragma once

#include <concepts>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/co_spawn.hpp>

#include "runtime/runtime.hpp"
#include "runtime/wait.hpp"

// Tasks: coroutines spawned on the runtime, each placed on one worker for its whole life (so it never runs on two
// threads at once), each with a TaskId; their join handles.
namespace brindlemoor::runtime {

// How a task ended when it did not return: an exception escaped its body (a panic).
class JoinError {
public:
    JoinError(TaskId id, std::optional<std::string> panic_text) : id_(id), panic_text_(std::move(panic_text)) {}

    TaskId id() const noexcept { return id_; }
    // The exception's what() text; empty when the thrown value was not a std::exception.
    const std::optional<std::string>& panic_text() const noexcept { return panic_text_; }

    // "JoinError::Panic(Id(7), \"boom\", ...)" with the text in its quoted debug form, or
    // "JoinError::Panic(Id(7), ...)" without a text.
    std::string to_string() const;

private:
    TaskId id_;
    std::optional<std::string> panic_text_;
};

// What joining a task yields.
struct JoinOutcome {
    std::optional<JoinError> panic;  // empty: the task returned
    bool returned() const noexcept { return !panic; }
};

namespace detail {

// The meeting point of a task and its join handle.
class JoinState : public std::enable_shared_from_this<JoinState> {
public:
    explicit JoinState(TaskId id) : id_(id) {}
    TaskId id() const noexcept { return id_; }

    // Runs once when the task ends: writes the panic report for an escaped exception, then stores the outcome
    // and wakes every joiner.
    void finish(std::exception_ptr panic);

    std::optional<JoinOutcome> outcome() const;
    JoinOutcome wait_blocking() const;
    // Fair-wait hook: registers a wait for the task's end.
    void subscribe(std::optional<WaiterRegistration>& slot, Wakeable& waiter);

private:
    const TaskId id_;
    mutable std::mutex mutex_;
    mutable std::condition_variable finished_;
    std::optional<JoinOutcome> outcome_;
    WaiterList waiters_;
};

struct TaskExit {
    std::shared_ptr<JoinState> state;
    void operator()(std::exception_ptr panic) const { state->finish(std::move(panic)); }
};

// The task's outermost coroutine. It owns the body, so a coroutine lambda's captures live as long as the task.
template <typename Body>
Awaitable<void> run_body(Body body, TaskId id) {
    co_await body(id);
}

}  // namespace detail

// A task's join handle. Dropping it detaches the task, which runs on. Copies refer to the same task.
class JoinHandle {
public:
    TaskId id() const noexcept { return state_->id(); }

    // From inside a task: waits until the task has ended.
    Awaitable<JoinOutcome> join() const;

    // From a thread that is not a worker (the main thread): blocks until the task has ended.
    JoinOutcome join_blocking() const { return state_->wait_blocking(); }

private:
    template <typename Body>
    friend JoinHandle spawn(Body body);
    explicit JoinHandle(std::shared_ptr<detail::JoinState> state) : state_(std::move(state)) {}

    std::shared_ptr<detail::JoinState> state_;
};

// Spawns a task on the current runtime, from the main thread or from inside a task; the workers take new tasks
// in turn. `body` is called once, on the task's worker, with the task's id and returns its coroutine:
// `spawn([=](TaskId id) { return run(id, ...); })`. The body object lives until the task ends. An exception that
// escapes the task is reported on standard error at once ("thread 'tokio-runtime-worker' panicked at task
// Id(N): ...") and becomes the join outcome; the process keeps running. Throws std::logic_error when no runtime
// exists.
template <typename Body>
JoinHandle spawn(Body body) {
    static_assert(std::is_same_v<std::invoke_result_t<Body&, TaskId>, Awaitable<void>>,
                  "a task body is called with its TaskId and returns Awaitable<void>");
    Runtime& runtime = Runtime::current();
    const TaskId id = detail::next_task_id();
    auto state = std::make_shared<detail::JoinState>(id);
    boost::asio::co_spawn(runtime.next_task_executor(), detail::run_body(std::move(body), id),
                          detail::TaskExit{state});
    return JoinHandle(std::move(state));
}

}  // namespace brindlemoor::runtime
