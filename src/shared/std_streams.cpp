#include "shared/std_streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "line_queue.hpp"

namespace brindlemoor {
namespace {

using Clock = std::chrono::steady_clock;

// A blocking pipe write of at most PIPE_BUF bytes is atomic: when the process ends while the writer waits for
// room, the batch is in the pipe whole or not at all.
constexpr std::size_t kBatchBytes = PIPE_BUF;

// How long an exit waits for a writer that has lines to write but has not had the processor to write them.
constexpr std::chrono::seconds kStarvedWriterBound{5};

// Waits until `descriptor` takes data; an error of poll itself is a failure of the stream.
std::error_code wait_writable(int descriptor) {
    pollfd wanted{descriptor, POLLOUT, 0};
    while (::poll(&wanted, 1, -1) < 0) {
        if (errno != EINTR) return {errno, std::generic_category()};
    }
    return {};
}

// Writes the whole text. A signal retries; "try again" (whoever opened the descriptor made it non-blocking) waits
// until it is writable; every other error is the stream's failure.
std::error_code write_whole(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const std::error_code error = wait_writable(descriptor)) return error;
            continue;
        }
        return {errno, std::generic_category()};
    }
    return {};
}

// One standard stream: its queue and the thread that writes it. Never destroyed: any thread may queue a line
// until the process ends.
class Stream {
public:
    Stream(int descriptor, std::size_t bound) : descriptor_(descriptor), queue_(bound) {
        std::thread([this] { run(); }).detach();
    }

    // Queues unless the stream has stopped taking lines (then the text is ignored). `drop_when_full`: a line
    // that finds no room is dropped and stays with the caller; only then is the result false.
    bool queue(std::string& text, bool drop_when_full) {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || failed_) return true;
            if (drop_when_full) {
                if (!queue_.push_or_drop(text)) return false;
            } else {
                queue_.push(std::move(text));
            }
        }
        work_.notify_one();
        return true;
    }

    bool has_room() {
        std::lock_guard lock(mutex_);
        return room_or_end();
    }

    void set_room_notice(void (*notify)() noexcept) {
        std::lock_guard lock(mutex_);
        room_notice_ = notify;
    }

    void set_failure_handler(std::function<void(std::error_code)> handler) {
        std::lock_guard lock(mutex_);
        failure_handler_ = std::move(handler);
    }

    void set_dropped_report(std::string (*report)(std::uint64_t) noexcept) {
        std::lock_guard lock(mutex_);
        dropped_report_ = report;
    }

    // The process is ending: no line is taken any more, except `last_line`.
    void close(std::optional<std::string> last_line) {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            if (last_line && !failed_) queue_.reinstate(std::move(*last_line));
        }
        work_.notify_one();
    }

    // Waits until everything queued is written or the stream has failed. Only time in which the writer is
    // inside a write, that is held up by the reader, is taken from `reader_time`; a writer that has not had the
    // processor yet (a loaded machine) is waited for up to kStarvedWriterBound, so that no line is lost to it.
    void drain(Clock::duration reader_time) {
        std::unique_lock lock(mutex_);
        Clock::time_point last = Clock::now();
        const Clock::time_point give_up = last + kStarvedWriterBound;
        while (!failed_ && !queue_.idle() && last < give_up) {
            const bool held_by_reader = writing_;
            if (held_by_reader && reader_time <= Clock::duration::zero()) return;
            progress_.wait_until(lock, held_by_reader ? std::min(give_up, last + reader_time) : give_up);
            const Clock::time_point now = Clock::now();
            if (held_by_reader && writing_) reader_time -= now - last;
            last = now;
        }
    }

private:
    // Once the stream has failed nobody must wait for room: the process is about to end.
    bool room_or_end() const { return failed_ || queue_.has_room(); }

    void run() noexcept {
        // Signals go to the other threads; this one only writes.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::string batch_text;
        for (;;) {
            LineQueue::Batch batch;
            std::string (*report)(std::uint64_t) noexcept = nullptr;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return queue_.has_work(); });
                batch_text.clear();
                batch = queue_.take(kBatchBytes, batch_text);
                report = dropped_report_;
                writing_ = true;
            }
            progress_.notify_all();
            // The report of dropped lines is a line of its own, and its loss changes nothing.
            if (batch.dropped_before != 0 && report) {
                static_cast<void>(write_whole(descriptor_, report(batch.dropped_before)));
            }
            const std::error_code error = write_whole(descriptor_, batch_text);
            std::function<void(std::error_code)> handler;
            {
                std::lock_guard lock(mutex_);
                writing_ = false;
                queue_.release(batch.bytes);
                if (error && failure_handler_) {
                    failed_ = true;
                    queue_.clear();
                    handler = failure_handler_;
                }
                if (room_or_end() && room_notice_) room_notice_();
            }
            progress_.notify_all();
            if (handler) handler(error);
        }
    }

    const int descriptor_;
    std::mutex mutex_;
    std::condition_variable work_;      // the writer waits for lines
    std::condition_variable progress_;  // drains wait for the writer
    LineQueue queue_;
    void (*room_notice_)() noexcept = nullptr;
    std::function<void(std::error_code)> failure_handler_;
    std::string (*dropped_report_)(std::uint64_t) noexcept = nullptr;
    bool closed_ = false;
    bool failed_ = false;
    bool writing_ = false;  // a batch is being written: the reader decides how long that takes
};

// Never destroyed either, so that no static destructor runs while a writer still writes.
Stream& standard_output() {
    static Stream& stream = *new Stream(STDOUT_FILENO, kResultBufferBytes);
    return stream;
}

Stream& standard_error() {
    static Stream& stream = *new Stream(STDERR_FILENO, kLogQueueBytes);
    return stream;
}

// The calling thread's last log line when the queue dropped it; an exit from this thread writes it after all.
thread_local std::optional<std::string> last_dropped_log_line;

void open_dev_null_where_closed() {
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower descriptors are open by now, so /dev/null takes exactly this one.
        if (::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY) != descriptor) {
            // Without it, the first descriptor the program opens would become a standard stream.
            std::abort();
        }
    }
}

}  // namespace

void init_std_streams() {
    open_dev_null_where_closed();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        standard_output();
        standard_error();
    } catch (const std::system_error& error) {
        static_cast<void>(write_whole(STDERR_FILENO,
                                      fmt::format("Failed starting the standard stream writers: {}\n", error.what())));
        std::_Exit(101);
    }
}

void queue_stdout(std::string text) { standard_output().queue(text, false); }

bool stdout_has_room() { return standard_output().has_room(); }

void on_stdout_room(void (*notify)() noexcept) { standard_output().set_room_notice(notify); }

void on_stdout_failure(std::function<void(std::error_code)> handler) {
    standard_output().set_failure_handler(std::move(handler));
}

void queue_log_line(std::string line) {
    if (standard_error().queue(line, true)) {
        last_dropped_log_line.reset();
    } else {
        last_dropped_log_line = std::move(line);
    }
}

void set_dropped_log_lines_report(std::string (*report)(std::uint64_t dropped) noexcept) {
    standard_error().set_dropped_report(report);
}

void queue_stderr(std::string text) {
    standard_error().queue(text, false);
    last_dropped_log_line.reset();
}

namespace {
// Each stream gets the whole bound: a stalled standard output must not cost standard error its last lines.
void drain_both(Clock::duration reader_time) {
    standard_output().drain(reader_time);
    standard_error().drain(reader_time);
}
}  // namespace

void drain_std_streams(std::chrono::steady_clock::duration bound) { drain_both(bound); }

void exit_process(int status) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) ::pause();
    }
    standard_output().close(std::nullopt);
    standard_error().close(std::exchange(last_dropped_log_line, std::nullopt));
    drain_both(kExitWriteBound);
    std::_Exit(status);
}

}  // namespace brindlemoor
