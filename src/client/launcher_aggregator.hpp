#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/channel.hpp"
#include "session_report.hpp"
#include "shared/output_mode.hpp"

// The client aggregator: the one task that folds the sessions' reports into rounds, prints a line per round
// and ends the process on Ctrl+C.
namespace brindlemoor::launcher_aggregator {

// The sending end of the report channel. Every session holds a copy; when the last copy goes the channel
// closes for the aggregator.
class AggregatorHandle {
public:
    // Installs the Ctrl+C notice, makes the report channel and starts the aggregator task, detached. Call it
    // from inside a task. Throws std::invalid_argument for 0 sessions (no round could ever complete).
    static AggregatorHandle start(std::uint16_t num_sessions, OutputMode output_mode, std::optional<std::string> tag);

    // Waits until the channel has room, then places the report. When the aggregator is gone the report is
    // dropped quietly and the call returns as after a delivery.
    runtime::Awaitable<void> send_report(SessionReport report) const { return sender_.send(report); }

private:
    explicit AggregatorHandle(runtime::Sender<SessionReport> sender) : sender_(std::move(sender)) {}

    runtime::Sender<SessionReport> sender_;
};

}  // namespace brindlemoor::launcher_aggregator
