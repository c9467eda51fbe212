#pragma once

#include <csignal>
#include <cstdint>

#include "worker_loop.hpp"

namespace brindlemoor::runtime {
class CtrlC;
}  // namespace brindlemoor::runtime

// SIGINT as readiness of an eventfd in a worker's epoll set. The handler only writes to the eventfd (which is
// async-signal-safe); the worker then sets the Ctrl+C notice, once for every run of signals it finds.
namespace brindlemoor::runtime::detail {

class SigintWatch final : public EventSource {
public:
    // Installs the handler. Throws std::system_error when the eventfd, its registration or the handler fails.
    SigintWatch(WorkerLoop& loop, CtrlC& notice);
    SigintWatch(const SigintWatch&) = delete;
    SigintWatch& operator=(const SigintWatch&) = delete;
    // Restores the disposition SIGINT had before. Call once the loop's thread has ended.
    ~SigintWatch() override;

    void on_events(std::uint32_t events) override;

private:
    WorkerLoop& loop_;
    CtrlC& notice_;
    int fd_ = -1;
    struct sigaction previous_ {};
};

}  // namespace brindlemoor::runtime::detail
