#include "launcher_plan.hpp"

#include <limits>

#include <fmt/format.h>

namespace brindlemoor {
namespace {

constexpr std::uint64_t kNanosPerMilli = 1'000'000;

}  // namespace

std::variant<ClientTiming, RunRefusal> plan_client_run(std::uint64_t interval_ms, std::uint64_t rate,
                                                       std::uint16_t num_sessions) {
    if (num_sessions == 0) {
        return RunRefusal{"Invalid number of sessions 0: the client needs at least 1 session"};
    }
    if (interval_ms > std::numeric_limits<std::uint64_t>::max() / kNanosPerMilli) {
        return RunRefusal{fmt::format("Invalid interval {} ms: its nanoseconds do not fit in 64 bits (at most {} ms)",
                                      interval_ms, std::numeric_limits<std::uint64_t>::max() / kNanosPerMilli)};
    }
    const std::uint64_t interval_ns = interval_ms * kNanosPerMilli;
    if (rate == 0) {
        return RunRefusal{"Invalid rate 0: a session must send at least 1 datagram per interval"};
    }
    if (rate > interval_ns) {
        return RunRefusal{fmt::format("Invalid rate {}: an interval of {} ms holds at most {} sends (one per ns)",
                                      rate, interval_ms, interval_ns)};
    }
    // rate <= interval_ns < 2^64 - 1, so rate + 1 cannot wrap.
    return ClientTiming{interval_ns, interval_ns / rate, interval_ns / (rate + 1), interval_ns / num_sessions,
                        window_size_for_rate(rate)};
}

std::uint64_t window_size_for_rate(std::uint64_t rate) noexcept {
    if (rate == 1) return 3;
    if (rate == 2) return 5;
    if (rate > std::numeric_limits<std::uint64_t>::max() / 2) return std::numeric_limits<std::uint64_t>::max();
    return 2 * rate;
}

PortRange own_port_range(std::uint16_t base_port, std::uint16_t num_sessions) noexcept {
    return PortRange{base_port, static_cast<std::uint16_t>(base_port + num_sessions - 1)};
}

std::uint16_t next_session_port(std::uint16_t port, PortRange range) noexcept {
    if (port == range.hi) return range.lo;
    return static_cast<std::uint16_t>(port + 1);
}

}  // namespace brindlemoor
