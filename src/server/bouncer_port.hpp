#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bouncer_counters.hpp"
#include "logging/logging.hpp"
#include "shared/packet.hpp"

// The rules of a port task that need no socket: what becomes of a received datagram, how a failed send or
// receive is logged and counted, and how a sender's address is written in log lines.
namespace brindlemoor {

// The socket call as log lines name it: "recv_from()" or "send_to()".
constexpr std::string_view operation_name(SocketDirection direction) {
    return direction == SocketDirection::Receive ? "recv_from()" : "send_to()";
}

// How one failed send or receive is reported: the log level, the words before " on <operation>"
// ("port unreachable", ..., "error") and the counter it raises. A failed send also raises pkts_sent.
struct SocketErrorRule {
    logging::Level level;
    std::string_view description;
    BouncerCounters::Counter BouncerCounters::*counter;
};

SocketErrorRule socket_error_rule(SocketDirection direction, SocketErrorClass error_class) noexcept;

// What becomes of one received datagram: echoed, or dropped for its length, for its key, or because it carries a
// port range. The client and the probe send 0 in both port fields and every echo carries a server's non-zero
// range, so a keyed datagram with a range is an echo (or a forgery of one): answering it would let two server
// ports echo each other forever.
enum class DatagramAction : std::uint8_t { Echo, RejectSize, RejectKey, RejectPortRange };

struct DatagramVerdict {
    DatagramAction action;
    std::uint64_t received_key;  // RejectKey: the key that the datagram carried
    std::uint16_t port_lo;       // RejectPortRange: the port range that the datagram carried
    std::uint16_t port_hi;
    // Raised once the datagram is done with: after a rejection's log line (decode_error, invalid_key), or after
    // the echo's send, whatever its outcome (pkts_sent). Until then pkts_rcvd is ahead of the other three.
    BouncerCounters::Counter BouncerCounters::*counter;
};

// One port's handling of received datagrams: it knows the server's key and keeps the echo, whose last four
// bytes (the port range) are written once.
class PortReflector {
public:
    PortReflector(std::uint64_t key, std::uint16_t base_port, std::uint16_t last_port) noexcept;

    // Counts the bytes of one successful receive in pkts_rcvd and judges them; both key and port-range refusals
    // count as invalid_key. For Echo, echo() holds the reply (bytes 0-23 as received, then base and last port,
    // big-endian) until the next call.
    DatagramVerdict handle_datagram(std::span<const std::uint8_t> received, BouncerCounters& counters) noexcept;

    std::span<const std::uint8_t, kPacketSize> echo() const noexcept { return echo_; }

private:
    std::uint64_t key_;
    std::array<std::uint8_t, kPacketSize> echo_{};
};

// A datagram's source as the receive reported it: an IPv4 address (the first four bytes) or an IPv6 address
// with its scope id.
struct SenderAddress {
    bool is_v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope_id = 0;
    std::uint16_t port = 0;
};

// "1.2.3.4:5", or "[2001:db8::1]:5" in the compressed form (the longest run of two or more zero groups, the
// first of equal runs, becomes "::"; an IPv4-mapped address ends in dotted decimal), with "%<scope id>" before
// the bracket when the scope id is not 0.
std::string format_sender_address(const SenderAddress& address);

}  // namespace brindlemoor
