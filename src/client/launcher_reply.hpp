#pragma once

#include <cstdint>
#include <span>

#include "shared/packet.hpp"

// The client's tests of a received datagram, for the probe exchange and the sessions alike.
namespace brindlemoor {

// The first test a reply fails, in the order they run; Valid when it passes them all.
enum class ReplyVerdict : std::uint8_t {
    InvalidSize,     // not exactly kPacketSize bytes
    InvalidKey,      // another key
    InvalidPayload,  // the key, but another payload
    Valid,
};

struct CheckedReply {
    ReplyVerdict verdict = ReplyVerdict::InvalidSize;
    Packet packet;  // the decoded datagram; all zero for InvalidSize
};

// Length, key, payload, in this order. The sequence number and the port fields are not looked at.
CheckedReply check_reply(std::span<const std::uint8_t> bytes, std::uint64_t key, std::uint64_t payload) noexcept;

}  // namespace brindlemoor
