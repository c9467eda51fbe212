#include "launcher_plan.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace brindlemoor {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(PlanClientRunTest, RefusesRunsThatCannotWorkAndNamesTheValue) {
    const struct {
        std::uint64_t interval_ms;
        std::uint64_t rate;
        std::uint16_t num_sessions;
        std::string message_start;
    } cases[] = {
        {1000, 10, 0, "Invalid number of sessions 0:"},
        {1000, 0, 1, "Invalid rate 0:"},
        // One nanosecond too fine: the send period would be 0 ns.
        {1000, 1'000'000'001, 1, "Invalid rate 1000000001: an interval of 1000 ms holds at most 1000000000 sends"},
        {kMax, 10, 1, "Invalid interval 18446744073709551615 ms:"},
        // The first interval whose nanoseconds no longer fit.
        {18'446'744'073'710, 10, 1, "Invalid interval 18446744073710 ms:"},
    };
    for (const auto& c : cases) {
        const auto plan = plan_client_run(c.interval_ms, c.rate, c.num_sessions);
        ASSERT_TRUE(std::holds_alternative<RunRefusal>(plan)) << c.message_start;
        EXPECT_EQ(std::get<RunRefusal>(plan).message.rfind(c.message_start, 0), 0u)
            << std::get<RunRefusal>(plan).message;
    }
}

TEST(PlanClientRunTest, DerivesTheTimingSoThatEachIntervalHoldsRateSends) {
    const struct {
        std::uint64_t interval_ms;
        std::uint64_t rate;
        std::uint16_t num_sessions;
        ClientTiming expected;
    } cases[] = {
        {1000, 10, 3, {1'000'000'000, 100'000'000, 90'909'090, 333'333'333, 20}},
        {1000, 1, 1, {1'000'000'000, 1'000'000'000, 500'000'000, 1'000'000'000, 3}},
        {1000, 2, 1, {1'000'000'000, 500'000'000, 333'333'333, 1'000'000'000, 5}},
        // The limits that still work: a 1 ns send period, the longest interval.
        {1000, 1'000'000'000, 65535, {1'000'000'000, 1, 0, 15259, 2'000'000'000}},
        {18'446'744'073'709, 1, 1,
         {18'446'744'073'709'000'000u, 18'446'744'073'709'000'000u, 9'223'372'036'854'500'000u,
          18'446'744'073'709'000'000u, 3}},
    };
    for (const auto& c : cases) {
        const auto plan = plan_client_run(c.interval_ms, c.rate, c.num_sessions);
        ASSERT_TRUE(std::holds_alternative<ClientTiming>(plan)) << std::get<RunRefusal>(plan).message;
        EXPECT_EQ(std::get<ClientTiming>(plan), c.expected) << c.interval_ms << " ms, rate " << c.rate;
    }
}

TEST(WindowSizeTest, SmallRatesGetSpareSlotsAndDoublingSaturates) {
    EXPECT_EQ(window_size_for_rate(1), 3u);
    EXPECT_EQ(window_size_for_rate(2), 5u);
    EXPECT_EQ(window_size_for_rate(3), 6u);
    EXPECT_EQ(window_size_for_rate(kMax / 2), kMax - 1);
    // Wrapping would give a window smaller than one interval's sends.
    EXPECT_EQ(window_size_for_rate(kMax / 2 + 1), kMax);
    EXPECT_EQ(window_size_for_rate(kMax), kMax);
}

std::vector<std::uint16_t> session_ports(std::uint16_t start, PortRange range, int sessions) {
    std::vector<std::uint16_t> ports;
    for (std::uint16_t port = start; sessions-- > 0; port = next_session_port(port, range)) ports.push_back(port);
    return ports;
}

TEST(SessionPortsTest, SessionsTakeConsecutivePortsAndWrapWithinTheRange) {
    EXPECT_EQ(session_ports(5001, {5000, 5002}, 5), (std::vector<std::uint16_t>{5001, 5002, 5000, 5001, 5002}));
    EXPECT_EQ(session_ports(5007, {5000, 5009}, 4), (std::vector<std::uint16_t>{5007, 5008, 5009, 5000}));
    EXPECT_EQ(session_ports(7000, {7000, 7000}, 3), (std::vector<std::uint16_t>{7000, 7000, 7000}));
}

TEST(SessionPortsTest, WithoutProbeTheOwnRangeWrapsPast65535) {
    EXPECT_EQ(own_port_range(4000, 10), (PortRange{4000, 4009}));
    EXPECT_EQ(session_ports(4000, own_port_range(4000, 10), 11),
              (std::vector<std::uint16_t>{4000, 4001, 4002, 4003, 4004, 4005, 4006, 4007, 4008, 4009, 4000}));
    EXPECT_EQ(own_port_range(65535, 3), (PortRange{65535, 1}));
    EXPECT_EQ(session_ports(65535, own_port_range(65535, 3), 4), (std::vector<std::uint16_t>{65535, 0, 1, 65535}));
}

}  // namespace
}  // namespace brindlemoor
