#include "launcher_reply.hpp"

namespace brindlemoor {

CheckedReply check_reply(std::span<const std::uint8_t> bytes, std::uint64_t key, std::uint64_t payload) noexcept {
    const auto packet = Packet::decode(bytes);
    if (!packet) return {};
    if (packet->key != key) return {ReplyVerdict::InvalidKey, *packet};
    if (packet->payload != payload) return {ReplyVerdict::InvalidPayload, *packet};
    return {ReplyVerdict::Valid, *packet};
}

}  // namespace brindlemoor
