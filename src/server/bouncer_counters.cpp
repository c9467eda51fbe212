#include "bouncer_counters.hpp"

#include <array>
#include <utility>

namespace brindlemoor {
namespace {

struct CounterField {
    BouncerCounters::Counter BouncerCounters::*counter;
    std::uint64_t BouncerOutput::*count;
};

constexpr std::array<CounterField, 9> kCounterFields{{
    {&BouncerCounters::pkts_rcvd, &BouncerOutput::pkts_rcvd},
    {&BouncerCounters::pkts_sent, &BouncerOutput::pkts_sent},
    {&BouncerCounters::invalid_key, &BouncerOutput::invalid_key},
    {&BouncerCounters::decode_error, &BouncerOutput::decode_error},
    {&BouncerCounters::recv_error, &BouncerOutput::recv_error},
    {&BouncerCounters::send_error, &BouncerOutput::send_error},
    {&BouncerCounters::icmp_port_unreachable, &BouncerOutput::icmp_port_unreachable},
    {&BouncerCounters::icmp_host_unreachable, &BouncerOutput::icmp_host_unreachable},
    {&BouncerCounters::icmp_network_unreachable, &BouncerOutput::icmp_network_unreachable},
}};

}  // namespace

BouncerOutput sum_counters(std::span<const SharedBouncerCounters> records, BouncerOutput& totals,
                           WallClock::time_point now) {
    BouncerOutput sums;
    for (const SharedBouncerCounters& record : records) {
        for (const CounterField& field : kCounterFields) {
            sums.*field.count += read_counter((*record).*field.counter);
        }
    }

    BouncerOutput increase;
    increase.timestamp = now;
    for (const CounterField& field : kCounterFields) {
        increase.*field.count = sums.*field.count - totals.*field.count;
    }
    totals = std::move(sums);
    return increase;
}

}  // namespace brindlemoor
