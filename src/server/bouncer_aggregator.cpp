#include "bouncer_aggregator.hpp"

#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "bouncer_aggregator_state.hpp"
#include "bouncer_output.hpp"
#include "logging/logging.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/stdout.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor::bouncer_aggregator {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::bouncer_aggregator";

// Branch indices of the aggregator's fair waits; the wait for room has its room branch in the tick's place.
enum : std::size_t { kCtrlCBranch = 0, kTickBranch = 1, kRoomBranch = 1, kReceiveBranch = 2 };

struct Aggregator {
    runtime::Receiver<SharedBouncerCounters> receiver;
    runtime::CtrlC* ctrl_c;
    std::uint64_t interval;
    AggregatorState state;
};

void print_tick(const std::optional<BouncerOutput>& record, OutputMode output_mode) {
    if (record) {
        print_server_output(*record, output_mode);
    } else {
        queue_stdout(std::string(kNoCountersLine));
    }
}

[[noreturn]] void finish_on_ctrl_c(AggregatorState& state) {
    logging::info(kLogTarget, "CTRL+C, exiting");
    if (const std::optional<BouncerOutput> summary = state.summary_record()) {
        queue_stdout(std::string(kSummaryHeading));
        print_server_output(*summary, state.output_mode());
    }
    exit_process(0);
}

void take_counters(AggregatorState& state, SharedBouncerCounters counters) {
    logging::debug(kLogTarget, "Bouncer counters received");
    state.add_counters(std::move(counters));
}

// After a print: waits while the result buffer is full, as a slow standard output would hold the aggregator.
// Records keep coming in meanwhile, so that the main task goes on starting the ports; the ticks that pass are
// skipped, and the next line covers them.
runtime::Awaitable<void> wait_for_result_room(Aggregator& aggregator) {
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_ctrl_c(*aggregator.ctrl_c), runtime::on_result_room(),
                                                 runtime::on_message(aggregator.receiver));
        switch (event.index()) {
            case kCtrlCBranch: finish_on_ctrl_c(aggregator.state);
            case kRoomBranch: co_return;
            case kReceiveBranch: take_counters(aggregator.state, std::move(std::get<kReceiveBranch>(event))); break;
        }
    }
}

runtime::Awaitable<void> run_aggregator(Aggregator aggregator) {
    AggregatorState& state = aggregator.state;
    logging::log_with_fields(logging::Level::Debug, kLogTarget,
                             {logging::Field::unsigned_number("interval", aggregator.interval),
                              logging::Field::display("output_mode", as_str(state.output_mode()))},
                             "Starting run_aggregator");
    runtime::Interval ticker(tick_period_ns(aggregator.interval), runtime::MissedTickBehavior::Skip);
    // The first tick is due at once; the first line then covers one whole interval.
    co_await ticker.tick();
    logging::debug(kLogTarget, "Starting aggregator loop");
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_ctrl_c(*aggregator.ctrl_c), runtime::on_tick(ticker),
                                                 runtime::on_message(aggregator.receiver));
        switch (event.index()) {
            case kCtrlCBranch: finish_on_ctrl_c(state);
            case kTickBranch:
                print_tick(state.interval_record(WallClock::now()), state.output_mode());
                co_await wait_for_result_room(aggregator);
                break;
            case kReceiveBranch: take_counters(state, std::move(std::get<kReceiveBranch>(event))); break;
        }
    }
}

}  // namespace

AggregatorHandle AggregatorHandle::start(std::uint64_t interval, OutputMode output_mode,
                                         const std::optional<std::string>& tag) {
    // Capacity 1 is never refused.
    runtime::Channel<SharedBouncerCounters> channel = runtime::make_channel<SharedBouncerCounters>(1).value();
    Aggregator aggregator{std::move(channel.receiver), &runtime::ctrl_c(), interval, AggregatorState(tag, output_mode)};
    runtime::end_run_when_results_cannot_be_written(kLogTarget);
    runtime::spawn([aggregator = std::move(aggregator)](runtime::TaskId) mutable {
        return run_aggregator(std::move(aggregator));
    });
    return AggregatorHandle(std::move(channel.sender));
}

runtime::Awaitable<void> AggregatorHandle::add_counters(SharedBouncerCounters counters) const {
    logging::debug(kLogTarget, "Actor handle received bouncer counters");
    co_await sender_.send(std::move(counters));
}

}  // namespace brindlemoor::bouncer_aggregator
