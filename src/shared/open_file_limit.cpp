#include "shared/open_file_limit.hpp"

namespace brindlemoor {

std::optional<rlim_t> raised_soft_limit(rlim_t soft, rlim_t hard, rlim_t needed) noexcept {
    if (soft >= needed) return std::nullopt;
    return hard == RLIM_INFINITY ? needed : hard;
}

void raise_open_file_limit(std::size_t sockets) noexcept {
    // Standard streams, the runtime's event descriptors and timers, a name lookup's socket.
    constexpr rlim_t kSpareFiles = 64;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const std::optional<rlim_t> soft = raised_soft_limit(limit.rlim_cur, limit.rlim_max, sockets + kSpareFiles);
    if (!soft) return;
    limit.rlim_cur = *soft;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace brindlemoor
