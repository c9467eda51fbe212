#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bouncer_counters.hpp"
#include "logging.hpp"
#include "packet.hpp"

// The rules of a port task that need no socket: how a failed send or receive is logged and counted, and how a
// sender's address is written in log lines.
namespace brindlemoor {

enum class SocketDirection : std::uint8_t { Receive, Send };

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
