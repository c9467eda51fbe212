#include "server/bouncer.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "bouncer_aggregator.hpp"
#include "bouncer_port.hpp"
#include "logging/logging.hpp"
#include "runtime/datagram_socket.hpp"
#include "runtime/task.hpp"
#include "shared/open_file_limit.hpp"
#include "shared/packet.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {

// One port's task: binds `listen_addr` (ending the process with status 1 when that fails), then forever echoes
// every 28-byte datagram carrying `key` to its sender with the server's port range, counting into `counters`.
runtime::Awaitable<void> run_bouncer(runtime::TaskId id, std::string listen_addr, SharedBouncerCounters counters,
                                     std::uint64_t key, std::uint16_t base_port, std::uint16_t last_port);

namespace {

constexpr std::string_view kLogTarget = "brindlemoor::bouncer";

// A sender's address that is turned into text only when its line is written, so that a filtered event on the
// per-datagram path costs nothing beyond the level test.
struct SenderText {
    const runtime::Udp::endpoint* endpoint;
};

SenderAddress sender_address(const runtime::Udp::endpoint& endpoint) {
    SenderAddress sender;
    sender.port = endpoint.port();
    const boost::asio::ip::address address = endpoint.address();
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), sender.bytes.begin());
    } else {
        const boost::asio::ip::address_v6 v6 = address.to_v6();
        sender.is_v6 = true;
        sender.bytes = v6.to_bytes();
        sender.scope_id = static_cast<std::uint32_t>(v6.scope_id());
    }
    return sender;
}

}  // namespace
}  // namespace brindlemoor

template <>
struct fmt::formatter<brindlemoor::SenderText> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const brindlemoor::SenderText& sender, FormatContext& ctx) const {
        return fmt::formatter<std::string_view>::format(
            brindlemoor::format_sender_address(brindlemoor::sender_address(*sender.endpoint)), ctx);
    }
};

namespace brindlemoor {
namespace {

void report_socket_error(runtime::TaskId id, SocketDirection direction, const boost::system::error_code& error,
                         BouncerCounters& counters) {
    const SocketErrorRule rule = socket_error_rule(direction, classify_socket_error(error));
    logging::log(rule.level, kLogTarget, "Bouncer id {} {} on {}: {}", id, rule.description,
                 operation_name(direction), runtime::ErrorText{&error});
    increment_counter(counters.*rule.counter);
}

}  // namespace

runtime::Awaitable<void> run_server(std::string listen_addr, std::optional<std::string> tag, std::uint64_t key,
                                    std::uint64_t interval, std::uint16_t base_port, std::uint16_t num_sessions,
                                    OutputMode output_mode) {
    using logging::Field;
    logging::log_with_fields(logging::Level::Info, kLogTarget,
                             {Field::text_value("listen_addr", listen_addr),
                              Field::unsigned_number("base_port", base_port),
                              Field::unsigned_number("num_sessions", num_sessions),
                              Field::display("output_mode", as_str(output_mode)), Field::optional_text("tag", tag)},
                             "Starting server");
    logging::log_fields(logging::Level::Debug, kLogTarget, {Field::unsigned_number("key", key)});

    // 16-bit arithmetic: a range reaching 65536 wraps its end below the base port, so nothing is served.
    const auto last_port = static_cast<std::uint16_t>(base_port + num_sessions - 1);
    const auto end_port = static_cast<std::uint16_t>(base_port + num_sessions);
    const auto aggregator = bouncer_aggregator::AggregatorHandle::start(interval, output_mode, tag);
    if (end_port > base_port) raise_open_file_limit(static_cast<std::size_t>(end_port - base_port));

    std::vector<runtime::JoinHandle> port_tasks;
    for (std::uint16_t port = base_port; port < end_port; ++port) {
        std::string address = fmt::format("{}:{}", listen_addr, port);
        auto counters = std::make_shared<BouncerCounters>();
        // The aggregator holds the record before its port counts anything into it.
        co_await aggregator.add_counters(counters);
        auto body = [address = std::move(address), counters = std::move(counters), key, base_port,
                     last_port](runtime::TaskId id) mutable {
            return run_bouncer(id, std::move(address), std::move(counters), key, base_port, last_port);
        };
        port_tasks.push_back(runtime::spawn(std::move(body)));
    }

    for (const runtime::JoinHandle& port_task : port_tasks) {
        const runtime::JoinOutcome outcome = co_await port_task.join();
        if (!outcome.returned()) {
            logging::error(kLogTarget, "Bouncer task panicked: {}", outcome.panic->to_string());
        }
    }
}

runtime::Awaitable<void> run_bouncer(runtime::TaskId id, std::string listen_addr, SharedBouncerCounters counters,
                                     std::uint64_t key, std::uint16_t base_port, std::uint16_t last_port) {
    logging::log_with_fields(logging::Level::Debug, kLogTarget,
                             {logging::Field::text_value("listen_addr", listen_addr)}, "Starting bouncer id {}", id);
    runtime::SetupResult<runtime::DatagramSocket> bound = co_await runtime::bind_udp(listen_addr);
    if (!bound.has_value()) {
        logging::error(kLogTarget, "Bouncer id {} failed to listen on {}, error: {}", id, listen_addr,
                       bound.error().message);
        exit_process(1);
    }
    runtime::DatagramSocket socket = std::move(bound).value();
    BouncerCounters& counts = *counters;

    PortReflector reflector(key, base_port, last_port);
    std::array<std::uint8_t, kPacketSize> received{};
    runtime::Udp::endpoint sender;

    for (;;) {
        const runtime::IoResult got = co_await socket.receive_from(received, sender);
        if (got.error) {
            report_socket_error(id, SocketDirection::Receive, got.error, counts);
            continue;
        }
        const DatagramVerdict verdict =
            reflector.handle_datagram(std::span<const std::uint8_t>(received.data(), got.length), counts);
        switch (verdict.action) {
            case DatagramAction::RejectSize:
                logging::error(kLogTarget, "Bouncer id {} deserialization failed on packet from {}, error: {}", id,
                               SenderText{&sender}, kInvalidSizeError);
                break;
            case DatagramAction::RejectKey:
                logging::debug(kLogTarget, "Bouncer id {} invalid key {} expected key {}", id, verdict.received_key,
                               key);
                break;
            case DatagramAction::RejectPortRange:
                logging::debug(kLogTarget, "Bouncer id {} packet from {} carries port range {} to {}, not answered",
                               id, SenderText{&sender}, verdict.port_lo, verdict.port_hi);
                break;
            case DatagramAction::Echo: {
                const runtime::IoResult sent = co_await socket.send_to(reflector.echo(), sender);
                if (sent.error) report_socket_error(id, SocketDirection::Send, sent.error, counts);
                break;
            }
        }
        increment_counter(counts.*verdict.counter);
    }
}

}  // namespace brindlemoor
