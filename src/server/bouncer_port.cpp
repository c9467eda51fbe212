#include "bouncer_port.hpp"

#include <algorithm>
#include <iterator>
#include <optional>

#include <fmt/format.h>

namespace brindlemoor {
namespace {

// Bytes 0-23 of an echo are those received; the server's port range follows.
constexpr std::size_t kEchoedPrefix = 24;

}  // namespace

PortReflector::PortReflector(std::uint64_t key, std::uint16_t base_port, std::uint16_t last_port) noexcept
    : key_(key) {
    const Packet port_range{0, 0, 0, base_port, last_port};
    const std::array<std::uint8_t, kPacketSize> encoded = port_range.encode();
    std::copy(encoded.begin() + kEchoedPrefix, encoded.end(), echo_.begin() + kEchoedPrefix);
}

DatagramVerdict PortReflector::handle_datagram(std::span<const std::uint8_t> received,
                                               BouncerCounters& counters) noexcept {
    increment_counter(counters.pkts_rcvd);
    const std::optional<Packet> packet = Packet::decode(received);
    if (!packet) return {DatagramAction::RejectSize, 0, 0, 0, &BouncerCounters::decode_error};
    if (packet->key != key_) return {DatagramAction::RejectKey, packet->key, 0, 0, &BouncerCounters::invalid_key};
    if ((packet->port_lo | packet->port_hi) != 0) {
        return {DatagramAction::RejectPortRange, 0, packet->port_lo, packet->port_hi, &BouncerCounters::invalid_key};
    }
    std::copy_n(received.begin(), kEchoedPrefix, echo_.begin());
    return {DatagramAction::Echo, 0, 0, 0, &BouncerCounters::pkts_sent};
}

SocketErrorRule socket_error_rule(SocketDirection direction, SocketErrorClass error_class) noexcept {
    BouncerCounters::Counter BouncerCounters::*counter =
        direction == SocketDirection::Receive ? &BouncerCounters::recv_error : &BouncerCounters::send_error;
    switch (error_class) {
        case SocketErrorClass::PortUnreachable: counter = &BouncerCounters::icmp_port_unreachable; break;
        case SocketErrorClass::HostUnreachable: counter = &BouncerCounters::icmp_host_unreachable; break;
        case SocketErrorClass::NetworkUnreachable: counter = &BouncerCounters::icmp_network_unreachable; break;
        case SocketErrorClass::Other: break;
    }
    const bool unreachable = error_class != SocketErrorClass::Other;
    return {unreachable ? logging::Level::Debug : logging::Level::Error, socket_error_description(error_class),
            counter};
}

std::string format_sender_address(const SenderAddress& address) {
    const auto& b = address.bytes;
    if (!address.is_v6) return fmt::format("{}.{}.{}.{}:{}", b[0], b[1], b[2], b[3], address.port);

    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = (unsigned{b[2 * i]} << 8) | b[2 * i + 1];

    std::string text = "[";
    auto out = std::back_inserter(text);
    const bool v4_mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                           groups[4] == 0 && groups[5] == 0xffff;
    if (v4_mapped) {
        fmt::format_to(out, "::ffff:{}.{}.{}.{}", b[12], b[13], b[14], b[15]);
    } else {
        std::size_t run_start = groups.size();
        std::size_t run_length = 0;
        for (std::size_t i = 0; i < groups.size();) {
            if (groups[i] != 0) {
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < groups.size() && groups[end] == 0) ++end;
            if (end - i > run_length) {
                run_start = i;
                run_length = end - i;
            }
            i = end;
        }
        // A single zero group is written out, not compressed.
        if (run_length < 2) run_start = groups.size();
        for (std::size_t i = 0; i < groups.size(); ++i) {
            if (i == run_start) {
                text += "::";
                i += run_length - 1;
                continue;
            }
            if (i != 0 && i != run_start + run_length) text += ':';
            fmt::format_to(out, "{:x}", groups[i]);
        }
    }
    if (address.scope_id != 0) fmt::format_to(out, "%{}", address.scope_id);
    fmt::format_to(out, "]:{}", address.port);
    return text;
}

}  // namespace brindlemoor
