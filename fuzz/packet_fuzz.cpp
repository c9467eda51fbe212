// The datagram codec: any bytes decode exactly when there are 28 of them, and re-encoding gives those bytes
// back; any record encodes to its fields big-endian at their offsets and decodes to itself.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz_check.hpp"
#include "shared/packet.hpp"

using brindlemoor::kPacketSize;
using brindlemoor::Packet;
using brindlemoor::fuzz::InputReader;
using brindlemoor::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    const std::optional<Packet> decoded = Packet::decode(input);
    require(decoded.has_value() == (size == kPacketSize), "decode accepts exactly 28 bytes");
    if (decoded) {
        const std::array<std::uint8_t, kPacketSize> encoded = decoded->encode();
        require(std::equal(encoded.begin(), encoded.end(), input.begin(), input.end()),
                "encoding a decoded datagram gives its bytes back");
    }

    // The same input read as a record, field by field, to check encode against the layout independently.
    InputReader reader(input);
    const Packet record{reader.big_endian<std::uint64_t>(), reader.big_endian<std::uint64_t>(),
                        reader.big_endian<std::uint64_t>(), reader.big_endian<std::uint16_t>(),
                        reader.big_endian<std::uint16_t>()};
    const std::array<std::uint8_t, kPacketSize> bytes = record.encode();
    InputReader encoded(bytes);
    require(encoded.big_endian<std::uint64_t>() == record.seq, "seq at offset 0, big-endian");
    require(encoded.big_endian<std::uint64_t>() == record.key, "key at offset 8, big-endian");
    require(encoded.big_endian<std::uint64_t>() == record.payload, "payload at offset 16, big-endian");
    require(encoded.big_endian<std::uint16_t>() == record.port_lo, "port_lo at offset 24, big-endian");
    require(encoded.big_endian<std::uint16_t>() == record.port_hi, "port_hi at offset 26, big-endian");
    require(Packet::decode(bytes) == record, "an encoded record decodes to itself");
    return 0;
}
