#include "launcher_session.hpp"

#include <array>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "launcher_reply.hpp"
#include "logging/logging.hpp"
#include "runtime/datagram_socket.hpp"
#include "runtime/timer.hpp"
#include "shared/packet.hpp"
#include "shared/std_streams.hpp"
#include "stats_vector.hpp"

namespace brindlemoor {
namespace {

using launcher_aggregator::AggregatorHandle;
using logging::Field;
using logging::Level;

constexpr std::string_view kLogTarget = "brindlemoor::launcher";

// A rate too high for the machine's memory cannot get its sequence windows: the run ends with a clear error
// instead of an escaped exception.
StatsVector make_stats_vector_or_exit(std::uint64_t window_size, std::uint64_t rate) {
    try {
        return StatsVector(window_size);
    } catch (const std::length_error& error) {
        logging::error(kLogTarget, "Client error: rate {} needs more sequence slots than can be allocated: {}", rate,
                       error.what());
        exit_process(1);
    }
}

// Counts a failed send or receive by its class and writes its line.
void count_socket_error(StatsVector& stats, runtime::TaskId id, SocketDirection direction,
                        const boost::system::error_code& code) {
    ErrorCounters& counters = stats.error_counters();
    const SocketErrorClass error_class = classify_socket_error(code);
    switch (error_class) {
        case SocketErrorClass::PortUnreachable: ++counters.icmp_port_unreachable; break;
        case SocketErrorClass::HostUnreachable: ++counters.icmp_host_unreachable; break;
        case SocketErrorClass::NetworkUnreachable: ++counters.icmp_network_unreachable; break;
        case SocketErrorClass::Other:
            if (direction == SocketDirection::Send) {
                stats.count_send_error();
            } else {
                ++counters.recv_error;
            }
            break;
    }
    const Level level = error_class == SocketErrorClass::Other ? Level::Error : Level::Debug;
    logging::log(level, kLogTarget, "Launcher id {} {} on {}: {}", id, socket_error_description(error_class),
                 direction == SocketDirection::Send ? "send()" : "recv()", runtime::ErrorText{&code});
}

// Tests a received datagram and files it with the stats vector when it is a reply of this session.
void handle_reply(StatsVector& stats, runtime::TaskId id, std::span<const std::uint8_t> bytes, const Packet& own) {
    const CheckedReply reply = check_reply(bytes, own.key, own.payload);
    ErrorCounters& counters = stats.error_counters();
    switch (reply.verdict) {
        case ReplyVerdict::InvalidSize:
            ++counters.decode_error;
            logging::error(kLogTarget, "Error deserializing: {}", kInvalidSizeError);
            return;
        case ReplyVerdict::InvalidKey:
            ++counters.invalid_key;
            logging::error(kLogTarget, "Launcher id {} invalid key {} received", id, reply.packet.key);
            return;
        case ReplyVerdict::InvalidPayload:
            ++counters.invalid_payload;
            logging::error(kLogTarget, "Launcher id {} invalid payload", id);
            return;
        case ReplyVerdict::Valid: stats.on_receive(reply.packet.seq); return;
    }
}

}  // namespace

runtime::Awaitable<void> run_launcher(runtime::TaskId id, std::string target_addr, AggregatorHandle handle,
                                      std::uint64_t key, std::uint64_t rate, ClientTiming timing) {
    logging::log_with_fields(Level::Debug, kLogTarget, {Field::text_value("target_addr", target_addr)},
                             "Starting launcher id {}", id);
    StatsVector stats = make_stats_vector_or_exit(timing.window_size, rate);
    auto connected = co_await runtime::connect_udp(target_addr);
    if (!connected.has_value()) {
        logging::error(kLogTarget, "Client error: {}", connected.error().message);
        exit_process(1);
    }
    runtime::DatagramSocket socket = std::move(connected).value();

    // Report ticks fall on whole intervals from here; the pause puts every send tick between two of them, so
    // each interval holds exactly `rate` sends.
    runtime::Interval report_timer(timing.interval_ns);
    co_await report_timer.tick();
    co_await runtime::sleep_for(timing.start_pause_ns);
    runtime::Interval send_timer(timing.send_period_ns, runtime::MissedTickBehavior::Skip);

    std::array<std::uint8_t, kPacketSize> receive_buffer{};
    std::array<std::uint8_t, kPacketSize> send_buffer{};
    Packet packet{0, key, 0, 0, 0};
    packet.randomize_payload();
    packet.seq = 1;
    for (;;) {
        auto event = co_await runtime::fair_wait(runtime::on_tick(send_timer), runtime::on_tick(report_timer),
                                                 runtime::on_datagram(socket, receive_buffer));
        switch (event.index()) {
            case 0: {
                send_buffer = packet.encode();
                const runtime::IoResult sent = co_await socket.send(send_buffer);
                if (sent.error) count_socket_error(stats, id, SocketDirection::Send, sent.error);
                // A failed send still uses its number: it is filed, and without a reply it counts as lost.
                stats.on_send(packet.seq);
                ++packet.seq;
                break;
            }
            case 1:
                // The session does nothing else until the aggregator has room for the report.
                if (const auto report = stats.on_tick()) co_await handle.send_report(*report);
                break;
            default: {
                const runtime::IoResult received = std::get<2>(event);
                if (received.error) {
                    count_socket_error(stats, id, SocketDirection::Receive, received.error);
                } else {
                    handle_reply(stats, id, std::span<const std::uint8_t>(receive_buffer.data(), received.length),
                                 packet);
                }
                break;
            }
        }
    }
}

}  // namespace brindlemoor
