#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bouncer_counters.hpp"
#include "runtime/channel.hpp"
#include "runtime/wait.hpp"
#include "shared/output_mode.hpp"

// The server aggregator: the one task of server mode that prints results and watches Ctrl+C.
namespace brindlemoor::bouncer_aggregator {

// The only sending end of the aggregator's channel (capacity 1); dropping it closes the channel.
class AggregatorHandle {
public:
    // Starts the aggregator task (detached) with its own copy of the tag, and takes over Ctrl+C at once, so
    // that a Ctrl+C from here on is kept for the aggregator's first turn.
    static AggregatorHandle start(std::uint64_t interval, OutputMode output_mode,
                                  const std::optional<std::string>& tag);

    AggregatorHandle(AggregatorHandle&&) noexcept = default;
    AggregatorHandle& operator=(AggregatorHandle&&) noexcept = default;
    AggregatorHandle(const AggregatorHandle&) = delete;
    AggregatorHandle& operator=(const AggregatorHandle&) = delete;

    // Hands a port's record to the aggregator, waiting while the previous one is still in the channel. When the
    // aggregator is gone the record is dropped silently.
    runtime::Awaitable<void> add_counters(SharedBouncerCounters counters) const;

private:
    explicit AggregatorHandle(runtime::Sender<SharedBouncerCounters> sender) : sender_(std::move(sender)) {}

    runtime::Sender<SharedBouncerCounters> sender_;
};

}  // namespace brindlemoor::bouncer_aggregator
