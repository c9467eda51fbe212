#include "shared/packet.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include <boost/asio/error.hpp>

namespace brindlemoor {
namespace {

TEST(PacketTest, EncodesFieldsBigEndianAtTheirOffsets) {
    const Packet packet{1, 0x0102030405060708ULL, 0x1112131415161718ULL, 4000, 4009};
    const std::array<std::uint8_t, kPacketSize> expected{
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // seq
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // key
        0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,  // payload
        0x0F, 0xA0, 0x0F, 0xA9};                         // port_lo 4000, port_hi 4009
    EXPECT_EQ(packet.encode(), expected);
}

TEST(PacketTest, DecodeGivesBackWhatEncodeWrote) {
    const std::uint64_t all = ~std::uint64_t{0};
    for (const Packet& packet : {Packet{}, Packet{all, all, all, 0xFFFF, 0xFFFF},
                                 Packet{0x8000000000000001ULL, 42, 0xDEADBEEFCAFEF00DULL, 1, 0x8000}}) {
        const auto bytes = packet.encode();
        EXPECT_EQ(Packet::decode(bytes), packet);
    }
}

TEST(PacketTest, DecodeRefusesEveryLengthButTwentyEight) {
    const std::vector<std::uint8_t> bytes(1500, 0xAB);
    for (std::size_t length : {0U, 1U, 27U, 29U, 1500U}) {
        EXPECT_FALSE(Packet::decode(std::span(bytes.data(), length))) << length;
    }
    EXPECT_TRUE(Packet::decode(std::span(bytes.data(), kPacketSize)));
    EXPECT_EQ(kInvalidSizeError, "Invalid size");
}

TEST(PacketTest, RandomizePayloadChangesOnlyThePayload) {
    Packet packet{7, 9, 0, 1, 2};
    packet.randomize_payload();
    const std::uint64_t first = packet.payload;
    packet.randomize_payload();
    EXPECT_NE(packet.payload, first);  // equal draws have a chance of 2^-64
    EXPECT_EQ(packet.seq, 7U);
    EXPECT_EQ(packet.key, 9U);
    EXPECT_EQ(packet.port_lo, 1U);
    EXPECT_EQ(packet.port_hi, 2U);
}

TEST(PacketTest, ClassifiesSocketErrorsByKind) {
    namespace error = boost::asio::error;
    const struct {
        boost::system::error_code code;
        SocketErrorClass expected;
    } cases[] = {
        {error::connection_refused, SocketErrorClass::PortUnreachable},
        {error::connection_reset, SocketErrorClass::PortUnreachable},
        {error::host_unreachable, SocketErrorClass::HostUnreachable},
        {error::network_unreachable, SocketErrorClass::NetworkUnreachable},
        {error::network_down, SocketErrorClass::Other},
        {error::connection_aborted, SocketErrorClass::Other},
        {error::timed_out, SocketErrorClass::Other},
        {error::message_size, SocketErrorClass::Other},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_socket_error(c.code), c.expected) << c.code.message();
}

}  // namespace
}  // namespace brindlemoor
