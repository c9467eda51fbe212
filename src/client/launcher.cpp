#include "client/launcher.hpp"

#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "launcher_aggregator.hpp"
#include "launcher_plan.hpp"
#include "launcher_reply.hpp"
#include "launcher_session.hpp"
#include "logging/logging.hpp"
#include "runtime/datagram_socket.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "shared/open_file_limit.hpp"
#include "shared/packet.hpp"
#include "shared/random.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {
namespace {

using launcher_aggregator::AggregatorHandle;
using logging::Field;
using logging::Level;

constexpr std::string_view kLogTarget = "brindlemoor::launcher";
constexpr std::uint64_t kProbePeriodNs = 1'000'000'000;

// Sends probes to the server's base port until a valid reply names the server's port range. Ends the process
// with status 1 when the socket cannot be set up.
runtime::Awaitable<PortRange> probe_server(std::string address_text, std::uint64_t key) {
    auto connected = co_await runtime::connect_udp(address_text);
    if (!connected.has_value()) {
        logging::error(kLogTarget, "Probe error: {}", connected.error().message);
        exit_process(1);
    }
    runtime::DatagramSocket socket = std::move(connected).value();
    Packet probe{0, key, 0, 0, 0};
    probe.randomize_payload();
    const std::array<std::uint8_t, kPacketSize> probe_bytes = probe.encode();
    std::array<std::uint8_t, kPacketSize> buffer{};
    runtime::Interval timer(kProbePeriodNs);
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_tick(timer), runtime::on_datagram(socket, buffer));
        if (event.index() == 0) {
            const runtime::IoResult sent = co_await socket.send(probe_bytes);
            if (sent.error) {
                logging::error(kLogTarget, "Probe error: {}", sent.error.message());
                co_await runtime::sleep_for(kProbePeriodNs);
            } else {
                logging::log_with_fields(Level::Info, kLogTarget, {Field::text_value("target_addr", address_text)},
                                         "Probe sent {} bytes", sent.length);
            }
            continue;
        }
        const runtime::IoResult received = std::get<1>(event);
        if (received.error) {
            logging::error(kLogTarget, "Probe receive error: {}", received.error.message());
            continue;
        }
        const CheckedReply reply =
            check_reply(std::span<const std::uint8_t>(buffer.data(), received.length), key, probe.payload);
        const Packet& answer = reply.packet;
        switch (reply.verdict) {
            case ReplyVerdict::InvalidSize: logging::error(kLogTarget, "Decode failed: {}", kInvalidSizeError); break;
            case ReplyVerdict::InvalidKey: logging::error(kLogTarget, "Invalid key in probe response"); break;
            case ReplyVerdict::InvalidPayload: logging::error(kLogTarget, "Invalid payload in probe response"); break;
            case ReplyVerdict::Valid:
                // A range that holds no port leaves the sessions nowhere to go: wait for a better reply.
                if (answer.port_hi < answer.port_lo) {
                    logging::error(kLogTarget, "Invalid port range in probe response: {} to {}", answer.port_lo,
                                   answer.port_hi);
                    break;
                }
                logging::info(kLogTarget, "Probe response ports {} to {}", answer.port_lo, answer.port_hi);
                co_return PortRange{answer.port_lo, answer.port_hi};
        }
    }
}

}  // namespace

runtime::Awaitable<void> run_client(std::string target, std::optional<std::string> tag, std::uint64_t key,
                                    std::uint64_t interval, std::uint64_t rate, std::uint16_t base_port,
                                    std::uint16_t num_sessions, bool no_probe, OutputMode output_mode) {
    logging::log_with_fields(
        Level::Info, kLogTarget,
        {Field::text_value("target", target), Field::unsigned_number("base_port", base_port),
         Field::unsigned_number("num_sessions", num_sessions), Field::unsigned_number("interval", interval),
         Field::unsigned_number("rate", rate), Field::display("output_mode", as_str(output_mode)),
         Field::flag_value("no_probe", no_probe), Field::optional_text("tag", tag)},
        "Starting client");
    logging::log_fields(Level::Debug, kLogTarget, {Field::unsigned_number("key", key)});

    const std::variant<ClientTiming, RunRefusal> plan = plan_client_run(interval, rate, num_sessions);
    if (const auto* refusal = std::get_if<RunRefusal>(&plan)) {
        logging::error(kLogTarget, "{}", refusal->message);
        exit_process(2);
    }
    const ClientTiming timing = std::get<ClientTiming>(plan);
    raise_open_file_limit(num_sessions);

    const AggregatorHandle handle = AggregatorHandle::start(num_sessions, output_mode, tag);

    PortRange range = own_port_range(base_port, num_sessions);
    std::uint16_t port = base_port;
    if (!no_probe) {
        std::string probe_address = fmt::format("{}:{}", target, base_port);
        range = co_await probe_server(std::move(probe_address), key);
        port = random_u16(range.lo, range.hi);
    }

    std::vector<runtime::JoinHandle> sessions;
    sessions.reserve(num_sessions);
    for (std::uint16_t started = 0; started < num_sessions; ++started) {
        auto body = [target_addr = fmt::format("{}:{}", target, port), handle, key, rate,
                     timing](runtime::TaskId id) { return run_launcher(id, target_addr, handle, key, rate, timing); };
        sessions.push_back(runtime::spawn(std::move(body)));
        port = next_session_port(port, range);
        co_await runtime::sleep_for(timing.stagger_ns);
    }

    for (const runtime::JoinHandle& session : sessions) {
        const runtime::JoinOutcome outcome = co_await session.join();
        if (!outcome.returned()) logging::error(kLogTarget, "Client task panicked: {}", outcome.panic->to_string());
    }
}

}  // namespace brindlemoor
