#include "launcher_rounds.hpp"

#include <cstdint>

#include <gtest/gtest.h>

namespace brindlemoor {
namespace {

TEST(ReportChannelCapacityTest, TwoPerSessionIn16BitsExceptTheWrapToZero) {
    const struct {
        std::uint16_t num_sessions;
        std::size_t capacity;
    } cases[] = {
        {0, 0}, {1, 2}, {10000, 20000}, {32767, 65534}, {32768, 65536}, {32769, 2}, {40000, 14464}, {65535, 65534},
    };
    for (const auto& c : cases) EXPECT_EQ(report_channel_capacity(c.num_sessions), c.capacity) << c.num_sessions;
}

SessionReport report(std::uint64_t sent, std::uint64_t rtt_min, std::uint64_t late_pkts) {
    SessionReport r;
    r.stats.sent = sent;
    r.stats.rtt_min = rtt_min;
    r.error_counters.late_pkts = late_pkts;
    return r;
}

TEST(RoundCollectorTest, EveryNumSessionsReportsCompleteARoundThatGoesIntoTheTotals) {
    RoundCollector rounds(2);
    EXPECT_FALSE(rounds.add(report(5, 5000, 1)));
    const auto first = rounds.add(report(3, 3000, 0));
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, report(8, 3000, 1));
    EXPECT_EQ(rounds.totals(), report(8, 3000, 1));

    // The next round starts from zero; its reports may come from one session twice.
    EXPECT_FALSE(rounds.add(report(1, 0, 2)));
    const auto second = rounds.add(report(1, 0, 0));
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, report(2, 0, 2));
    EXPECT_EQ(rounds.totals(), report(10, 3000, 3));

    // A partly collected round is not in the totals.
    EXPECT_FALSE(rounds.add(report(100, 1, 0)));
    EXPECT_EQ(rounds.totals(), report(10, 3000, 3));
}

TEST(RoundCollectorTest, OneSessionMakesEveryReportARound) {
    RoundCollector rounds(1);
    for (std::uint64_t sent : {0u, 4u, 0u}) {
        const auto round = rounds.add(report(sent, 0, 0));
        ASSERT_TRUE(round);
        EXPECT_EQ(round->stats.sent, sent);
    }
    EXPECT_EQ(rounds.totals().stats.sent, 4u);
}

}  // namespace
}  // namespace brindlemoor
