#include "bouncer_aggregator.hpp"

#include <string_view>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "bouncer_aggregator_state.hpp"
#include "bouncer_output.hpp"
#include "logging.hpp"
#include "result_stream.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "std_streams.hpp"

namespace brindlemoor::bouncer_aggregator {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::bouncer_aggregator";

// Branch indices of the aggregator's fair wait.
enum : std::size_t { kCtrlCBranch = 0, kTickBranch = 1, kReceiveBranch = 2 };

struct Aggregator {
    runtime::Receiver<SharedBouncerCounters> receiver;
    runtime::CtrlC* ctrl_c;
    std::uint64_t interval;
    AggregatorState state;
};

void print_or_exit(const std::optional<BouncerOutput>& record, OutputMode output_mode) {
    exit_unless_written(kLogTarget,
                        record ? print_server_output(*record, output_mode) : write_stdout(kNoCountersLine));
}

[[noreturn]] void finish_on_ctrl_c(AggregatorState& state) {
    logging::info(kLogTarget, "CTRL+C, exiting");
    if (const std::optional<BouncerOutput> summary = state.summary_record()) {
        exit_unless_written(kLogTarget, write_stdout(kSummaryHeading));
        exit_unless_written(kLogTarget, print_server_output(*summary, state.output_mode()));
    }
    exit_process(0);
}

runtime::Awaitable<void> run_aggregator(Aggregator aggregator) {
    AggregatorState& state = aggregator.state;
    logging::log_with_fields(logging::Level::Debug, kLogTarget,
                             {logging::Field::unsigned_number("interval", aggregator.interval),
                              logging::Field::display("output_mode", as_str(state.output_mode()))},
                             "Starting run_aggregator");
    runtime::Interval ticker(co_await boost::asio::this_coro::executor, tick_period_ns(aggregator.interval),
                             runtime::MissedTickBehavior::Skip);
    // The first tick is due at once; the first line then covers one whole interval.
    co_await ticker.tick();
    logging::debug(kLogTarget, "Starting aggregator loop");
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_ctrl_c(*aggregator.ctrl_c), runtime::on_tick(ticker),
                                                 runtime::on_message(aggregator.receiver));
        switch (event.index()) {
            case kCtrlCBranch: finish_on_ctrl_c(state);
            case kTickBranch: print_or_exit(state.interval_record(WallClock::now()), state.output_mode()); break;
            case kReceiveBranch:
                logging::debug(kLogTarget, "Bouncer counters received");
                state.add_counters(std::move(std::get<kReceiveBranch>(event)));
                break;
        }
    }
}

}  // namespace

AggregatorHandle AggregatorHandle::start(std::uint64_t interval, OutputMode output_mode,
                                         const std::optional<std::string>& tag) {
    // Capacity 1 is never refused.
    runtime::Channel<SharedBouncerCounters> channel = runtime::make_channel<SharedBouncerCounters>(1).value();
    Aggregator aggregator{std::move(channel.receiver), &runtime::ctrl_c(), interval, AggregatorState(tag, output_mode)};
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
