#include "shared/packet.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

#include "shared/random.hpp"

namespace brindlemoor {
namespace {

template <typename Unsigned>
void put_big_endian(std::uint8_t* out, Unsigned value) noexcept {
    for (std::size_t i = sizeof(Unsigned); i-- > 0;) {
        out[i] = static_cast<std::uint8_t>(value & 0xFFU);
        value = static_cast<Unsigned>(value >> 8U);
    }
}

template <typename Unsigned>
Unsigned get_big_endian(const std::uint8_t* in) noexcept {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) value = static_cast<Unsigned>((value << 8U) | in[i]);
    return value;
}

}  // namespace

std::array<std::uint8_t, kPacketSize> Packet::encode() const noexcept {
    std::array<std::uint8_t, kPacketSize> bytes{};
    put_big_endian(bytes.data(), seq);
    put_big_endian(bytes.data() + 8, key);
    put_big_endian(bytes.data() + 16, payload);
    put_big_endian(bytes.data() + 24, port_lo);
    put_big_endian(bytes.data() + 26, port_hi);
    return bytes;
}

std::optional<Packet> Packet::decode(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() != kPacketSize) return std::nullopt;
    const std::uint8_t* in = bytes.data();
    return Packet{get_big_endian<std::uint64_t>(in), get_big_endian<std::uint64_t>(in + 8),
                  get_big_endian<std::uint64_t>(in + 16), get_big_endian<std::uint16_t>(in + 24),
                  get_big_endian<std::uint16_t>(in + 26)};
}

void Packet::randomize_payload() { payload = random_u64(); }

SocketErrorClass classify_socket_error(const boost::system::error_code& error) noexcept {
    namespace asio_error = boost::asio::error;
    if (error == asio_error::connection_refused || error == asio_error::connection_reset) {
        return SocketErrorClass::PortUnreachable;
    }
    if (error == asio_error::host_unreachable) return SocketErrorClass::HostUnreachable;
    if (error == asio_error::network_unreachable) return SocketErrorClass::NetworkUnreachable;
    return SocketErrorClass::Other;
}

std::string_view socket_error_description(SocketErrorClass error_class) noexcept {
    switch (error_class) {
        case SocketErrorClass::PortUnreachable: return "port unreachable";
        case SocketErrorClass::HostUnreachable: return "host unreachable";
        case SocketErrorClass::NetworkUnreachable: return "network unreachable";
        case SocketErrorClass::Other: break;
    }
    return "error";
}

}  // namespace brindlemoor
