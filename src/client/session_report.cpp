#include "session_report.hpp"

#include <algorithm>

namespace brindlemoor {

void fold(WindowStats& target_stats, ErrorCounters& target_counters, const WindowStats& incoming_stats,
          const ErrorCounters& incoming_counters) noexcept {
    WindowStats& t = target_stats;
    const WindowStats& in = incoming_stats;
    t.lost += in.lost;
    t.dups += in.dups;
    t.rcvd += in.rcvd;
    t.reordered += in.reordered;
    t.sent += in.sent;
    t.rtt_sum += in.rtt_sum;
    t.rtt_max = std::max(t.rtt_max, in.rtt_max);
    if (in.rtt_min != 0 && (t.rtt_min == 0 || t.rtt_min > in.rtt_min)) t.rtt_min = in.rtt_min;
    t.err_sent_seq_high += in.err_sent_seq_high;
    t.err_sent_seq_low += in.err_sent_seq_low;
    t.send_error += in.send_error;

    ErrorCounters& c = target_counters;
    const ErrorCounters& ic = incoming_counters;
    c.skip_interval += ic.skip_interval;
    c.late_pkts += ic.late_pkts;
    c.err_rcvd_after_windows += ic.err_rcvd_after_windows;
    c.err_rcvd_between_windows += ic.err_rcvd_between_windows;
    c.icmp_port_unreachable += ic.icmp_port_unreachable;
    c.icmp_host_unreachable += ic.icmp_host_unreachable;
    c.icmp_network_unreachable += ic.icmp_network_unreachable;
    c.recv_error += ic.recv_error;
    c.invalid_key += ic.invalid_key;
    c.invalid_payload += ic.invalid_payload;
    c.decode_error += ic.decode_error;
}

}  // namespace brindlemoor
