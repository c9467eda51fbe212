#pragma once

#include <cstdint>
#include <string>
#include <variant>

// The client's pure decisions: whether a run's numbers are usable, the timing derived from them, and which
// server port each session gets.
namespace brindlemoor {

// The timing of a client run, derived once from the command line's interval, rate and number of sessions.
struct ClientTiming {
    std::uint64_t interval_ns = 0;     // the report period of every session
    std::uint64_t send_period_ns = 0;  // interval_ns / rate, at least 1 ns
    std::uint64_t start_pause_ns = 0;  // interval_ns / (rate + 1): keeps every send between two report ticks
    std::uint64_t stagger_ns = 0;      // interval_ns / num_sessions: the pause after each session start
    std::uint64_t window_size = 0;     // sequence slots per window of a session's stats vector

    bool operator==(const ClientTiming&) const = default;
};

// Why a client run is refused before anything is sent: the message of its ERROR line.
struct RunRefusal {
    std::string message;
};

// Checks that the run can work at all (at least one session, an interval whose nanoseconds fit 64 bits, a
// send period of at least 1 ns) and derives its timing.
std::variant<ClientTiming, RunRefusal> plan_client_run(std::uint64_t interval_ms, std::uint64_t rate,
                                                       std::uint16_t num_sessions);

// Sequence slots per window for `rate` sends per interval: 3 for 1, 5 for 2, else twice the rate. A doubling
// past 64 bits saturates: a wrapped, smaller window would file the interval's own sends as "too high".
std::uint64_t window_size_for_rate(std::uint64_t rate) noexcept;

// The server's ports that the sessions are spread over.
struct PortRange {
    std::uint16_t lo = 0;
    std::uint16_t hi = 0;

    bool operator==(const PortRange&) const = default;
};

// Without a probe the client takes its own base port and session count as the range; the last port wraps
// past 65535 to 0.
PortRange own_port_range(std::uint16_t base_port, std::uint16_t num_sessions) noexcept;

// The port of the next session: after `hi` comes `lo`, otherwise the next port (65535 is followed by 0).
std::uint16_t next_session_port(std::uint16_t port, PortRange range) noexcept;

}  // namespace brindlemoor
