#include "session_report.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace brindlemoor {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Every field of both records set to a distinct value, so a field folded into the wrong place shows.
SessionReport numbered_report(std::uint64_t base) {
    return SessionReport{
        WindowStats{base + 1, base + 2, base + 3, base + 4, base + 5, base + 6, base + 7, base + 8, base + 9,
                    base + 10, base + 11},
        ErrorCounters{base + 12, base + 13, base + 14, base + 15, base + 16, base + 17, base + 18, base + 19,
                      base + 20, base + 21, base + 22},
    };
}

TEST(FoldTest, SumsEveryCountFieldByFieldAndKeepsRttExtremes) {
    SessionReport target = numbered_report(100);
    fold(target, numbered_report(1000));

    const SessionReport expected{
        WindowStats{1102, 1104, 1106, 1108, 1110, 1112, /*rtt_max*/ 1007, /*rtt_min*/ 108, 1118, 1120, 1122},
        ErrorCounters{1124, 1126, 1128, 1130, 1132, 1134, 1136, 1138, 1140, 1142, 1144},
    };
    EXPECT_EQ(target, expected);
}

TEST(FoldTest, SumsWrapAround) {
    SessionReport target;
    target.stats.rtt_sum = kMax;
    target.stats.sent = kMax - 1;
    target.error_counters.decode_error = kMax;
    SessionReport incoming;
    incoming.stats.rtt_sum = 2;
    incoming.stats.sent = 3;
    incoming.error_counters.decode_error = 1;

    fold(target, incoming);

    EXPECT_EQ(target.stats.rtt_sum, 1u);
    EXPECT_EQ(target.stats.sent, 1u);
    EXPECT_EQ(target.error_counters.decode_error, 0u);
}

TEST(FoldTest, RttMinIsSmallestNonZeroAndRttMaxTheLargest) {
    struct Case {
        std::initializer_list<std::uint64_t> incoming;
        std::uint64_t rtt_min;
        std::uint64_t rtt_max;
    };
    const Case cases[] = {
        {{0, 5000, 3000}, 3000, 5000},
        {{3000, 0, 5000}, 3000, 5000},
        {{0, 0, 0}, 0, 0},
        {{0, 7000}, 7000, 7000},
        {{kMax, 1}, 1, kMax},
    };
    for (const Case& c : cases) {
        WindowStats stats;
        ErrorCounters counters;
        for (std::uint64_t value : c.incoming) {
            WindowStats incoming;
            incoming.rtt_min = value;
            incoming.rtt_max = value;
            fold(stats, counters, incoming, ErrorCounters{});
        }
        EXPECT_EQ(stats.rtt_min, c.rtt_min) << "first incoming " << *c.incoming.begin();
        EXPECT_EQ(stats.rtt_max, c.rtt_max) << "first incoming " << *c.incoming.begin();
    }
}

}  // namespace
}  // namespace brindlemoor
