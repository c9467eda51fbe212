#include "launcher_aggregator.hpp"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "launcher_output.hpp"
#include "launcher_rounds.hpp"
#include "logging/logging.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/stdout.hpp"
#include "runtime/task.hpp"
#include "shared/std_streams.hpp"
#include "shared/timestamp.hpp"

namespace brindlemoor::launcher_aggregator {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::launcher_aggregator";

void print_round(const SessionReport& round, OutputMode output_mode, const std::optional<std::string>& tag) {
    const WallClock::time_point now = WallClock::now();
    if (output_mode == OutputMode::JSON) {
        print_client_json(now, round.stats, round.error_counters, tag);
    } else {
        print_client_text(now, round.stats, round.error_counters, tag, output_mode == OutputMode::Verbose);
    }
}

[[noreturn]] void exit_on_ctrl_c(const SessionReport& totals, OutputMode output_mode,
                                 const std::optional<std::string>& tag) {
    logging::info(kLogTarget, "CTRL+C, exiting");
    const WallClock::time_point now = WallClock::now();
    if (output_mode != OutputMode::JSON && totals.stats.sent != 0) {
        queue_stdout("Client summary:\n");
        print_client_text(now, totals.stats, totals.error_counters, tag, output_mode == OutputMode::Verbose);
    }
    exit_process(0);
}

// The task body. The Ctrl+C notice stays pending while a report is folded or a line printed, so a Ctrl+C is
// never lost between two waits.
runtime::Awaitable<void> run_aggregator(runtime::Receiver<SessionReport> receiver, runtime::CtrlC* ctrl_c,
                                        std::uint16_t num_sessions, OutputMode output_mode,
                                        std::optional<std::string> tag) {
    RoundCollector rounds(num_sessions);
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_ctrl_c(*ctrl_c), runtime::on_message(receiver));
        if (event.index() == 0) exit_on_ctrl_c(rounds.totals(), output_mode, tag);
        const auto round = rounds.add(std::get<1>(event));
        if (!round) continue;
        print_round(*round, output_mode, tag);
        // Waits while the result buffer is full, as a slow standard output would hold the aggregator; the
        // sessions' reports wait in the channel meanwhile.
        const auto room = co_await runtime::fair_wait(runtime::on_ctrl_c(*ctrl_c), runtime::on_result_room());
        if (room.index() == 0) exit_on_ctrl_c(rounds.totals(), output_mode, tag);
    }
}

}  // namespace

AggregatorHandle AggregatorHandle::start(std::uint16_t num_sessions, OutputMode output_mode,
                                         std::optional<std::string> tag) {
    auto channel = runtime::make_channel<SessionReport>(report_channel_capacity(num_sessions));
    if (!channel) throw std::invalid_argument("the client aggregator needs at least 1 session");
    // Installed here, in the caller's task, so that a Ctrl+C that comes before the aggregator first runs
    // already counts.
    runtime::CtrlC* ctrl_c = &runtime::ctrl_c();
    runtime::end_run_when_results_cannot_be_written(kLogTarget);
    auto body = [receiver = std::move(channel->receiver), ctrl_c, num_sessions, output_mode,
                 tag = std::move(tag)](runtime::TaskId) mutable {
        return run_aggregator(std::move(receiver), ctrl_c, num_sessions, output_mode, std::move(tag));
    };
    runtime::spawn(std::move(body));
    return AggregatorHandle(std::move(channel->sender));
}

}  // namespace brindlemoor::launcher_aggregator
