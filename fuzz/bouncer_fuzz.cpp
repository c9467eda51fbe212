// A port's handling of received datagrams, driven as the port task drives it: any mix of datagrams and send
// outcomes keeps pkts_rcvd = decode_error + invalid_key + pkts_sent once each datagram is done with, raises
// nothing else but the failed send's class counter, and echoes exactly the 28-byte datagrams with the server's
// key and both port fields 0, as bytes 0-23 unchanged followed by the server's base and last port.
//
// Input: the server's key (8 bytes), base port and last port (2 bytes each, big-endian), then datagrams, each
// as a length byte (modulo 33: 0 to 32 bytes), a control byte and the datagram's bytes. In a 28-byte datagram,
// control bit 0 writes the server's key into bytes 8-15 and bit 4 clears the port fields (bytes 24-27), so that
// most datagrams reach the echo; bits 1-3 pick the echo's send outcome (0 and 5-7: sent; 1-4: failed with one of
// the four error classes).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bouncer_counters.hpp"
#include "bouncer_port.hpp"
#include "fuzz_check.hpp"
#include "shared/packet.hpp"

namespace {

using namespace brindlemoor;
using fuzz::InputReader;
using fuzz::require;
using Counter = BouncerCounters::Counter BouncerCounters::*;

constexpr std::array<Counter, 9> kCounters{
    &BouncerCounters::pkts_rcvd,    &BouncerCounters::pkts_sent,  &BouncerCounters::invalid_key,
    &BouncerCounters::decode_error, &BouncerCounters::recv_error, &BouncerCounters::send_error,
    &BouncerCounters::icmp_port_unreachable, &BouncerCounters::icmp_host_unreachable,
    &BouncerCounters::icmp_network_unreachable,
};

std::array<std::uint64_t, kCounters.size()> snapshot(const BouncerCounters& counters) {
    std::array<std::uint64_t, kCounters.size()> values{};
    for (std::size_t i = 0; i < kCounters.size(); ++i) values[i] = read_counter(counters.*kCounters[i]);
    return values;
}

// How often `counter` occurs in `raised`.
std::uint64_t times_raised(const std::vector<Counter>& raised, Counter counter) {
    return static_cast<std::uint64_t>(std::count(raised.begin(), raised.end(), counter));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input(std::span<const std::uint8_t>(data, size));
    const auto key = input.big_endian<std::uint64_t>();
    const auto base_port = input.big_endian<std::uint16_t>();
    const auto last_port = input.big_endian<std::uint16_t>();
    const std::array<std::uint8_t, kPacketSize> key_bytes = Packet{0, key, 0, 0, 0}.encode();

    PortReflector reflector(key, base_port, last_port);
    BouncerCounters counters;
    while (!input.empty()) {
        const std::size_t length = input.byte() % (kPacketSize + 5);
        const std::uint8_t control = input.byte();
        const std::span<const std::uint8_t> given = input.bytes(length);
        std::vector<std::uint8_t> datagram(given.begin(), given.end());
        datagram.resize(length);
        if (length == kPacketSize) {
            if ((control & 1U) != 0) std::copy_n(key_bytes.begin() + 8, 8, datagram.begin() + 8);
            if ((control & 16U) != 0) std::fill(datagram.begin() + 24, datagram.end(), std::uint8_t{0});
        }
        const unsigned send_outcome = (control >> 1U) & 7U;

        const auto before = snapshot(counters);
        const DatagramVerdict verdict = reflector.handle_datagram(datagram, counters);
        std::vector<Counter> raised{&BouncerCounters::pkts_rcvd, verdict.counter};
        if (length != kPacketSize) {
            require(verdict.action == DatagramAction::RejectSize, "every length but 28 is refused");
            require(verdict.counter == &BouncerCounters::decode_error, "a wrong length counts as decode_error");
        } else if (!std::equal(datagram.begin() + 8, datagram.begin() + 16, key_bytes.begin() + 8)) {
            require(verdict.action == DatagramAction::RejectKey, "a 28-byte datagram with another key is refused");
            require(verdict.counter == &BouncerCounters::invalid_key, "another key counts as invalid_key");
            require(Packet::decode(datagram)->key == verdict.received_key, "the refusal names the received key");
        } else if (std::any_of(datagram.begin() + 24, datagram.end(), [](std::uint8_t b) { return b != 0; })) {
            require(verdict.action == DatagramAction::RejectPortRange, "a keyed datagram with a port range is refused");
            require(verdict.counter == &BouncerCounters::invalid_key, "a port range counts as invalid_key");
            const Packet received = *Packet::decode(datagram);
            require(received.port_lo == verdict.port_lo && received.port_hi == verdict.port_hi,
                    "the refusal names the received port range");
        } else {
            require(verdict.action == DatagramAction::Echo, "a 28-byte datagram with the server's key is echoed");
            require(verdict.counter == &BouncerCounters::pkts_sent, "an echo counts as pkts_sent");
            const std::span<const std::uint8_t, kPacketSize> echo = reflector.echo();
            require(std::equal(datagram.begin(), datagram.begin() + 24, echo.begin()),
                    "the echo keeps bytes 0-23 as received");
            const Packet echoed = *Packet::decode(echo);
            require(echoed.port_lo == base_port && echoed.port_hi == last_port,
                    "the echo carries the server's base and last port");
            if (send_outcome >= 1 && send_outcome <= 4) {
                const auto error_class = static_cast<SocketErrorClass>(send_outcome - 1);
                const Counter failed = socket_error_rule(SocketDirection::Send, error_class).counter;
                increment_counter(counters.*failed);
                raised.push_back(failed);
            }
        }
        // The port task raises the verdict's counter once the line is logged or the echo sent.
        increment_counter(counters.*verdict.counter);

        const auto after = snapshot(counters);
        for (std::size_t i = 0; i < kCounters.size(); ++i) {
            require(after[i] - before[i] == times_raised(raised, kCounters[i]),
                    "each datagram raises exactly its counters, each by one");
        }
        require(read_counter(counters.pkts_rcvd) == read_counter(counters.decode_error) +
                                                        read_counter(counters.invalid_key) +
                                                        read_counter(counters.pkts_sent),
                "pkts_rcvd = decode_error + invalid_key + pkts_sent");
    }
    return 0;
}
