#include "worker_loop.hpp"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>

#include <boost/asio/post.hpp>

#include "runtime/runtime.hpp"

namespace brindlemoor::runtime::detail {
namespace {

constexpr std::size_t kEventsPerWait = 256;

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

// epoll_pwait2 came with Linux 5.11; older kernels, and container filters that do not know it, refuse it.
bool epoll_pwait2_works(int epoll_fd) {
    epoll_event event{};
    const timespec zero{0, 0};
    return ::epoll_pwait2(epoll_fd, &event, 1, &zero, nullptr) >= 0 || (errno != ENOSYS && errno != EPERM);
}

}  // namespace

void throw_errno(const char* what) { throw std::system_error(errno, std::system_category(), what); }

std::uint64_t take_counter(int fd) noexcept {
    std::uint64_t count = 0;
    return ::read(fd, &count, sizeof count) == sizeof count ? count : 0;
}

WorkerLoop::WorkerLoop(TimerWakeUp timer_wake_up) : events_(kEventsPerWait) {
    try {
        epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_fd_ < 0) throw_errno("epoll_create1");
        wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd_ < 0) throw_errno("eventfd");
        epoll_event wake{EPOLLIN, {.ptr = &wake_fd_}};
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) < 0) throw_errno("epoll_ctl");
        if (timer_wake_up == TimerWakeUp::Timerfd || !epoll_pwait2_works(epoll_fd_)) {
            timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
            if (timer_fd_ < 0) throw_errno("timerfd_create");
            epoll_event timer{EPOLLIN, {.ptr = &timer_fd_}};
            if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &timer) < 0) throw_errno("epoll_ctl");
        }
    } catch (...) {
        for (int fd : {epoll_fd_, wake_fd_, timer_fd_}) {
            if (fd >= 0) ::close(fd);
        }
        throw;
    }
}

WorkerLoop::~WorkerLoop() {
    drop_queued();
    retired_.clear();
    for (int fd : {epoll_fd_, wake_fd_, timer_fd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void WorkerLoop::run() {
    boost::asio::post(host_, [this] { loop(); });
    host_.run();
}

void WorkerLoop::stop() noexcept {
    stopped_.store(true, std::memory_order_release);
    signal();
}

void WorkerLoop::post(Operation* op) noexcept {
    if (this_worker_loop == this) {
        local_.push(op);
        return;
    }
    {
        std::lock_guard lock(remote_mutex_);
        remote_.push(op);
    }
    if (!wake_signalled_.exchange(true, std::memory_order_acq_rel)) signal();
}

void WorkerLoop::update_watch(int fd, std::uint32_t previous, std::uint32_t events, EventSource& source) {
    if (events == previous) return;
    const int operation = previous == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    epoll_event event{events, {.ptr = &source}};
    if (::epoll_ctl(epoll_fd_, operation, fd, &event) < 0) throw_errno("epoll_ctl");
}

void WorkerLoop::remove_watch(int fd) noexcept { ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr); }

void WorkerLoop::retire(std::unique_ptr<EventSource> source) { retired_.push_back(std::move(source)); }

bool WorkerLoop::drop_queued() noexcept {
    bool dropped = false;
    for (;;) {
        take_remote();
        Operation* op = local_.pop();
        if (!op) return dropped;
        dropped = true;
        op->destroy();
    }
}

void WorkerLoop::loop() {
    this_worker_loop = this;
    while (!stopped_.load(std::memory_order_acquire)) {
        // Handlers cannot throw into here (a task's exception ends the task); this keeps the worker alive if some
        // other code does.
        try {
            run_round();
            if (stopped_.load(std::memory_order_acquire)) break;
            wait_for_events(!local_.empty());
        } catch (...) {
            report_escaped_exception("a runtime handler", std::current_exception());
        }
    }
    this_worker_loop = nullptr;
}

void WorkerLoop::run_round() {
    // Only what is queued now: handlers queued meanwhile (a task that yields) wait until readiness and timers
    // have had their turn.
    Operation* const last = local_.back();
    while (last && !stopped_.load(std::memory_order_relaxed)) {
        Operation* op = local_.pop();
        const bool was_last = op == last;
        op->run();
        if (was_last) break;
    }
}

void WorkerLoop::wait_for_events(bool poll_only) {
    retired_.clear();  // no event read so far refers to them any more
    const SteadyClock::time_point wake = timers_.wake_time();
    int count = 0;
    if (timer_fd_ < 0) {
        timespec timeout{0, 0};
        const bool forever = !poll_only && wake == SteadyClock::time_point::max();
        if (!poll_only && !forever) {
            const auto left = wake - SteadyClock::now();
            if (left > SteadyClock::duration::zero()) timeout = to_timespec(left);
        }
        count = ::epoll_pwait2(epoll_fd_, events_.data(), static_cast<int>(events_.size()), forever ? nullptr : &timeout,
                               nullptr);
    } else {
        if (wake != timer_fd_armed_) {
            itimerspec setting{};
            if (wake != SteadyClock::time_point::max()) {
                setting.it_value = to_timespec(wake.time_since_epoch());
                if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) setting.it_value.tv_nsec = 1;
            }
            if (::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &setting, nullptr) < 0) throw_errno("timerfd_settime");
            timer_fd_armed_ = wake;
        }
        count = ::epoll_wait(epoll_fd_, events_.data(), static_cast<int>(events_.size()), poll_only ? 0 : -1);
    }
    if (count < 0 && errno != EINTR) throw_errno("epoll_wait");
    if (count >= 0 && static_cast<std::size_t>(count) < events_.size()) ++complete_waits_;
    for (int i = 0; i < count; ++i) dispatch(events_[static_cast<std::size_t>(i)]);
    if (!timers_.empty()) {
        timers_.take_due(SteadyClock::now(), [](TimerEntry& entry) { entry.waiter.wake_from_handler(); });
    }
}

void WorkerLoop::dispatch(const epoll_event& event) {
    if (event.data.ptr == &wake_fd_) {
        static_cast<void>(take_counter(wake_fd_));
        wake_signalled_.store(false, std::memory_order_release);
        take_remote();
    } else if (event.data.ptr == &timer_fd_) {
        static_cast<void>(take_counter(timer_fd_));
        timer_fd_armed_ = SteadyClock::time_point::max();
    } else {
        static_cast<EventSource*>(event.data.ptr)->on_events(event.events);
    }
}

void WorkerLoop::take_remote() noexcept {
    std::lock_guard lock(remote_mutex_);
    local_.splice(remote_);
}

void WorkerLoop::signal() noexcept {
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_fd_, &one, sizeof one));
}

}  // namespace brindlemoor::runtime::detail
