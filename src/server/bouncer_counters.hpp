#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "bouncer_output.hpp"
#include "shared/timestamp.hpp"

namespace brindlemoor {

// What one server port has counted since it started. Its port task is the only writer and the aggregator the
// only reader; each counter is atomic on its own, and nothing orders one counter against another.
struct BouncerCounters {
    using Counter = std::atomic<std::uint64_t>;
    static_assert(Counter::is_always_lock_free, "counting must never block the port task");

    Counter pkts_rcvd{0};
    Counter pkts_sent{0};
    Counter invalid_key{0};
    Counter decode_error{0};
    Counter recv_error{0};
    Counter send_error{0};
    Counter icmp_port_unreachable{0};
    Counter icmp_host_unreachable{0};
    Counter icmp_network_unreachable{0};
};

// Port task and aggregator each hold the record; it lives as long as its last holder.
using SharedBouncerCounters = std::shared_ptr<BouncerCounters>;

// One atomic addition of 1, wrapping from 2^64 - 1 to 0. Relaxed: only the counter's own atomicity matters.
inline void increment_counter(BouncerCounters::Counter& counter) noexcept {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// One atomic load.
inline std::uint64_t read_counter(const BouncerCounters::Counter& counter) noexcept {
    return counter.load(std::memory_order_relaxed);
}

// Sums every counter over `records` (none may be null), replaces `totals` by those sums (tag and timestamp
// absent) and returns how much each sum grew since the previous call, stamped `now`. Sums and increases wrap
// modulo 2^64, so a counter that wrapped still yields the right increase.
BouncerOutput sum_counters(std::span<const SharedBouncerCounters> records, BouncerOutput& totals,
                           WallClock::time_point now);

}  // namespace brindlemoor
