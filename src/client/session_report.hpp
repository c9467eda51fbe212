#pragma once

#include <cstdint>

namespace brindlemoor {

// The figures of one sequence window of one session; also the first half of a round's or the run's totals.
struct WindowStats {
    std::uint64_t lost = 0;       // filed and never answered; filled in only in a report
    std::uint64_t dups = 0;       // receptions of a number already received in the window
    std::uint64_t rcvd = 0;       // every reception inside the window's range, duplicates included
    std::uint64_t reordered = 0;  // first receptions below the next expected number
    std::uint64_t sent = 0;       // numbers filed inside the window's range
    std::uint64_t rtt_sum = 0;    // ns, wrapping; holds rcvd - dups round-trip times
    std::uint64_t rtt_max = 0;    // ns; 0 when none
    std::uint64_t rtt_min = 0;    // ns; 0 means none yet
    std::uint64_t err_sent_seq_high = 0;
    std::uint64_t err_sent_seq_low = 0;
    std::uint64_t send_error = 0;

    bool operator==(const WindowStats&) const = default;
};

// A session's counters, taken and zeroed by every report; also the second half of a round's or the totals.
struct ErrorCounters {
    std::uint64_t skip_interval = 0;
    std::uint64_t late_pkts = 0;
    std::uint64_t err_rcvd_after_windows = 0;
    std::uint64_t err_rcvd_between_windows = 0;
    std::uint64_t icmp_port_unreachable = 0;
    std::uint64_t icmp_host_unreachable = 0;
    std::uint64_t icmp_network_unreachable = 0;
    std::uint64_t recv_error = 0;
    std::uint64_t invalid_key = 0;
    std::uint64_t invalid_payload = 0;
    std::uint64_t decode_error = 0;

    bool operator==(const ErrorCounters&) const = default;
};

// What a session sends to the aggregator at a report tick; it carries no session identity.
struct SessionReport {
    WindowStats stats;
    ErrorCounters error_counters;

    bool operator==(const SessionReport&) const = default;
};

// Combines an incoming pair (a report, or a round) into a target pair (a round, or the totals): counts add
// (wrapping), rtt_max keeps the larger, rtt_min the smallest non-zero value (0 stays "none measured").
void fold(WindowStats& target_stats, ErrorCounters& target_counters, const WindowStats& incoming_stats,
          const ErrorCounters& incoming_counters) noexcept;

inline void fold(SessionReport& target, const SessionReport& incoming) noexcept {
    fold(target.stats, target.error_counters, incoming.stats, incoming.error_counters);
}

}  // namespace brindlemoor
