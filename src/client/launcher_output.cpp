#include "launcher_output.hpp"

#include <array>
#include <iterator>
#include <span>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "logging/logging.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::launcher_output";

struct LabelledCount {
    std::string_view label;
    std::uint64_t value;
};

}  // namespace

std::string format_duration(std::uint64_t nanoseconds) {
    if (nanoseconds < 1000) return fmt::format("{}ns", nanoseconds);
    std::uint64_t divisor = 1'000'000'000;
    std::string_view unit = "s";
    if (nanoseconds < 1'000'000) {
        divisor = 1000;
        unit = "\xC2\xB5s";
    } else if (nanoseconds < 1'000'000'000) {
        divisor = 1'000'000;
        unit = "ms";
    }
    const std::uint64_t whole = nanoseconds / divisor;
    // remainder < divisor <= 1e9, so remainder x 100 cannot overflow.
    const std::uint64_t hundredths = (nanoseconds % divisor * 100 + divisor / 2) / divisor;
    if (hundredths > 99) return fmt::format("{}.00{}", whole + 1, unit);
    return fmt::format("{}.{:02}{}", whole, hundredths, unit);
}

std::uint64_t rtt_avg(const WindowStats& stats) noexcept {
    if (stats.rcvd == 0) return 0;
    const std::uint64_t answered = stats.rcvd - stats.dups;
    // Sums that broke the rule "rcvd > dups" must not divide by zero.
    return answered == 0 ? 0 : stats.rtt_sum / answered;
}

std::string format_client_text(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                               const std::optional<std::string>& tag, bool verbose) {
    if (stats.sent == 0) return {};
    std::string line = fmt::format("{} rtt_avg: {} rtt_hi: {} rtt_lo: {} sent: {} rcvd: {}",
                                   format_local_time_millis(time), format_duration(rtt_avg(stats)),
                                   format_duration(stats.rtt_max), format_duration(stats.rtt_min), stats.sent,
                                   stats.rcvd);
    const auto append_items = [&](std::span<const LabelledCount> items) {
        for (const LabelledCount& item : items) {
            if (verbose || item.value != 0) fmt::format_to(std::back_inserter(line), "{} {}", item.label, item.value);
        }
    };
    const std::array<LabelledCount, 3> window_items{{
        {" lost:", stats.lost},
        {" reords:", stats.reordered},
        {" dups:", stats.dups},
    }};
    const std::array<LabelledCount, 14> error_items{{
        {" decode error:", counters.decode_error},
        {" err_rcvd_seq_high:", counters.err_rcvd_after_windows},
        {" err_rcvd_between_windows:", counters.err_rcvd_between_windows},
        {" icmp_port_unreachable:", counters.icmp_port_unreachable},
        {" icmp_host_unreachable:", counters.icmp_host_unreachable},
        {" icmp_network_unreachable:", counters.icmp_network_unreachable},
        {" invalid_key:", counters.invalid_key},
        {" invalid_payload:", counters.invalid_payload},
        {" late_packets:", counters.late_pkts},
        {" recv_error:", counters.recv_error},
        {" err_skipped_interval:", counters.skip_interval},
        {" err_sent_seq_high:", stats.err_sent_seq_high},
        {" err_sent_seq_low:", stats.err_sent_seq_low},
        {" send_error:", stats.send_error},
    }};
    append_items(window_items);
    bool any_error = false;
    for (const LabelledCount& item : error_items) any_error = any_error || item.value != 0;
    if (verbose || any_error) {
        line += " (";
        append_items(error_items);
        line += " )";
    }
    if (tag) {
        line += " tag: ";
        line += *tag;
    } else if (verbose) {
        line += " tag: ";
    }
    line += '\n';
    return line;
}

std::string format_client_json(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                               const std::optional<std::string>& tag) {
    nlohmann::ordered_json record;
    record["timestamp"] = format_rfc3339_utc(time);
    if (tag) record["tag"] = *tag;
    record["pkts_lost"] = stats.lost;
    record["pkts_dups"] = stats.dups;
    record["pkts_rcvd"] = stats.rcvd;
    record["pkts_reordered"] = stats.reordered;
    record["pkts_sent"] = stats.sent;
    record["rtt_avg"] = rtt_avg(stats);
    record["rtt_max"] = stats.rtt_max;
    record["rtt_min"] = stats.rtt_min;
    record["err_pkts_sent_after_window"] = stats.err_sent_seq_high;
    record["err_pkts_sent_before_window"] = stats.err_sent_seq_low;
    record["send_error"] = stats.send_error;
    record["skip_interval"] = counters.skip_interval;
    record["late_pkts"] = counters.late_pkts;
    record["err_rcvd_after_windows"] = counters.err_rcvd_after_windows;
    record["err_rcvd_between_windows"] = counters.err_rcvd_between_windows;
    record["icmp_port_unreachable"] = counters.icmp_port_unreachable;
    record["icmp_host_unreachable"] = counters.icmp_host_unreachable;
    record["icmp_network_unreachable"] = counters.icmp_network_unreachable;
    record["recv_error"] = counters.recv_error;
    try {
        std::string line = record.dump();
        line += '\n';
        return line;
    } catch (const nlohmann::json::exception& error) {
        logging::error(kLogTarget, "client output serializaion error: {}", error.what());
        return {};
    }
}

void print_client_text(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                       const std::optional<std::string>& tag, bool verbose) {
    queue_stdout(format_client_text(time, stats, counters, tag, verbose));
}

void print_client_json(WallClock::time_point time, const WindowStats& stats, const ErrorCounters& counters,
                       const std::optional<std::string>& tag) {
    queue_stdout(format_client_json(time, stats, counters, tag));
}

}  // namespace brindlemoor
