#include "sigint_watch.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/ctrl_c.hpp"

namespace brindlemoor::runtime::detail {
namespace {

std::atomic<int> sigint_fd{-1};

extern "C" void on_sigint(int) {
    const int saved_errno = errno;
    const int fd = sigint_fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const std::uint64_t one = 1;
        static_cast<void>(::write(fd, &one, sizeof one));
    }
    errno = saved_errno;
}

}  // namespace

SigintWatch::SigintWatch(WorkerLoop& loop, CtrlC& notice) : loop_(loop), notice_(notice) {
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0) throw_errno("eventfd");
    try {
        loop_.update_watch(fd_, 0, EPOLLIN, *this);
        sigint_fd.store(fd_, std::memory_order_relaxed);
        struct sigaction action {};
        action.sa_handler = &on_sigint;
        sigemptyset(&action.sa_mask);
        // Blocking calls on other threads (a writer waiting for its pipe) go on instead of failing with EINTR.
        action.sa_flags = SA_RESTART;
        if (::sigaction(SIGINT, &action, &previous_) < 0) throw_errno("sigaction");
    } catch (...) {
        sigint_fd.store(-1, std::memory_order_relaxed);
        loop_.remove_watch(fd_);
        ::close(fd_);
        throw;
    }
}

SigintWatch::~SigintWatch() {
    ::sigaction(SIGINT, &previous_, nullptr);
    sigint_fd.store(-1, std::memory_order_relaxed);
    loop_.remove_watch(fd_);
    ::close(fd_);
}

void SigintWatch::on_events(std::uint32_t) {
    if (take_counter(fd_) != 0) notice_.notice();
}

}  // namespace brindlemoor::runtime::detail
