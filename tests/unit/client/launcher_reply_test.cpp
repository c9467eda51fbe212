#include "launcher_reply.hpp"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace brindlemoor {
namespace {

constexpr std::uint64_t kKey = 42;
constexpr std::uint64_t kPayload = 0xFEDCBA9876543210;

std::vector<std::uint8_t> bytes_of(const Packet& packet) {
    const auto encoded = packet.encode();
    return {encoded.begin(), encoded.end()};
}

TEST(CheckReplyTest, TestsLengthThenKeyThenPayload) {
    const std::vector<std::uint8_t> good = bytes_of({5, kKey, kPayload, 4000, 4009});
    const struct {
        std::vector<std::uint8_t> bytes;
        ReplyVerdict verdict;
    } cases[] = {
        {{}, ReplyVerdict::InvalidSize},
        {std::vector<std::uint8_t>(good.begin(), good.begin() + 20), ReplyVerdict::InvalidSize},
        {std::vector<std::uint8_t>(good.begin(), good.begin() + 27), ReplyVerdict::InvalidSize},
        // Key and payload both wrong: the key is reported.
        {bytes_of({5, kKey + 1, kPayload + 1, 0, 0}), ReplyVerdict::InvalidKey},
        {bytes_of({5, kKey, kPayload ^ 1, 0, 0}), ReplyVerdict::InvalidPayload},
        {good, ReplyVerdict::Valid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check_reply(c.bytes, kKey, kPayload).verdict, c.verdict) << c.bytes.size() << " bytes";
    }
}

TEST(CheckReplyTest, CarriesTheDecodedFieldsForTheLogAndTheStats) {
    const CheckedReply valid = check_reply(bytes_of({7, kKey, kPayload, 5000, 4000}), kKey, kPayload);
    EXPECT_EQ(valid.verdict, ReplyVerdict::Valid);
    EXPECT_EQ(valid.packet, (Packet{7, kKey, kPayload, 5000, 4000}));
    EXPECT_EQ(check_reply(bytes_of({7, 99, kPayload, 0, 0}), kKey, kPayload).packet.key, 99u);
}

}  // namespace
}  // namespace brindlemoor
