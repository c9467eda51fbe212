#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace boost::system {
class error_code;
}

namespace brindlemoor {

// Every datagram of the protocol (probe, probe reply, data, echo) is exactly this long.
inline constexpr std::size_t kPacketSize = 28;

// The text receivers log for a datagram whose length is not kPacketSize.
inline constexpr std::string_view kInvalidSizeError = "Invalid size";

// The one datagram of the protocol: five fields back to back, each big-endian, no header or filler.
struct Packet {
    std::uint64_t seq = 0;
    std::uint64_t key = 0;
    std::uint64_t payload = 0;
    std::uint16_t port_lo = 0;
    std::uint16_t port_hi = 0;

    std::array<std::uint8_t, kPacketSize> encode() const noexcept;

    // The packet when exactly kPacketSize bytes were received; empty (error kInvalidSizeError) for any other
    // length. No field is checked: key, payload and sequence checks belong to the receivers.
    static std::optional<Packet> decode(std::span<const std::uint8_t> bytes) noexcept;

    // Draws a new payload from the calling thread's generator; the other fields stay.
    void randomize_payload();

    friend bool operator==(const Packet&, const Packet&) = default;
};

// Whether a socket error came from a receive or from a send.
enum class SocketDirection : std::uint8_t { Receive, Send };

// How a failed send or receive of a session or port task is counted.
enum class SocketErrorClass : std::uint8_t { PortUnreachable, HostUnreachable, NetworkUnreachable, Other };

// Connection refused or reset: PortUnreachable; host unreachable; network unreachable; everything else
// (message too long among them): Other. Uses Asio's portable constants, so the rule holds on every platform.
SocketErrorClass classify_socket_error(const boost::system::error_code& error) noexcept;

// How log lines name a failed send or receive of the class: "port unreachable", "host unreachable",
// "network unreachable", or "error" for Other.
std::string_view socket_error_description(SocketErrorClass error_class) noexcept;

}  // namespace brindlemoor
