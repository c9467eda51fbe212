#include "std_streams.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace brindlemoor {
namespace {

std::mutex& stderr_lock() {
    static std::mutex lock;
    return lock;
}

// Writes the whole text straight to the descriptor: a line is never left half-written by an exit from another
// thread, and a signal that interrupts the write does not make it fail.
std::error_code write_all(int descriptor, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(descriptor, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {errno, std::generic_category()};
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

void init_std_streams() {
    std::signal(SIGPIPE, SIG_IGN);
}

std::error_code write_stdout(std::string_view text) { return write_all(STDOUT_FILENO, text); }

void write_stderr(std::string_view text) {
    const std::lock_guard<std::mutex> guard(stderr_lock());
    // Nowhere is left to report a failure of standard error itself.
    static_cast<void>(write_all(STDERR_FILENO, text));
}

void exit_process(int status) {
    std::fflush(stdout);
    std::_Exit(status);
}

}  // namespace brindlemoor
