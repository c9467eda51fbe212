// The runtime's pure rules: the worker-count variable and the periodic timer's deadlines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "runtime/tick_schedule.hpp"
#include "runtime/worker_threads.hpp"

namespace brindlemoor::runtime {
namespace {

using namespace std::chrono_literals;

TEST(WorkerThreadsTest, UnsetUsesTheProcessorCountOrOne) {
    EXPECT_EQ(worker_threads_setting(std::nullopt, 8).count, 8U);
    EXPECT_EQ(worker_threads_setting(std::nullopt, 0).count, 1U);
    EXPECT_TRUE(worker_threads_setting(std::nullopt, 0).panic_message.empty());
}

TEST(WorkerThreadsTest, AcceptsWholeNumbersOfAtLeastOne) {
    const struct {
        const char* value;
        std::size_t count;
    } cases[] = {{"1", 1}, {"4", 4}, {"+4", 4}, {"007", 7}, {"18446744073709551615", 18446744073709551615ULL}};
    for (const auto& c : cases) {
        const WorkerThreadsSetting setting = worker_threads_setting(c.value, 8);
        EXPECT_EQ(setting.count, c.count) << c.value;
        EXPECT_EQ(setting.panic_message, "") << c.value;
    }
}

TEST(WorkerThreadsTest, RefusesOtherValuesWithThePanicMessage) {
    const std::string usize = "\"TOKIO_WORKER_THREADS\" must be usize, error: ";
    const std::string zero = "\"TOKIO_WORKER_THREADS\" cannot be set to 0";
    const struct {
        std::string value;
        std::string message;
    } cases[] = {
        {"0", zero},
        {"+0", zero},
        {"000", zero},
        {"", usize + "cannot parse integer from empty string, value: "},
        {"+", usize + "invalid digit found in string, value: +"},
        {"-1", usize + "invalid digit found in string, value: -1"},
        {" 4", usize + "invalid digit found in string, value:  4"},
        {"4 ", usize + "invalid digit found in string, value: 4 "},
        {"++4", usize + "invalid digit found in string, value: ++4"},
        {"four", usize + "invalid digit found in string, value: four"},
        {"18446744073709551616", usize + "number too large to fit in target type, value: 18446744073709551616"},
        // The digits are read in order, so an overflow is found before a later bad character.
        {"99999999999999999999x", usize + "number too large to fit in target type, value: 99999999999999999999x"},
        {"4\xff", "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: \"4\\x{ff}\""},
    };
    for (const auto& c : cases) {
        const WorkerThreadsSetting setting = worker_threads_setting(c.value, 8);
        EXPECT_EQ(setting.panic_message, c.message) << c.value;
    }
}

class TickScheduleTest : public ::testing::Test {
protected:
    static constexpr std::uint64_t kPeriodNs = 10'000'000;  // 10 ms
    const SteadyClock::time_point start = SteadyClock::time_point(1h);
    SteadyClock::time_point at(std::chrono::nanoseconds offset) const { return start + offset; }
};

TEST_F(TickScheduleTest, FirstTickIsDueAtOnceAndTicksFollowTheGrid) {
    TickSchedule schedule(start, kPeriodNs, MissedTickBehavior::Skip);
    EXPECT_TRUE(schedule.due(start));
    EXPECT_EQ(schedule.take(start), start);
    EXPECT_FALSE(schedule.due(at(9ms)));
    // Up to 5 ms late is not missed, whatever the behaviour: the grid holds.
    EXPECT_EQ(schedule.take(at(15ms)), at(10ms));
    EXPECT_EQ(schedule.deadline(), at(20ms));
}

TEST_F(TickScheduleTest, BurstDeliversMissedTicksBackToBack) {
    TickSchedule schedule(start, kPeriodNs, MissedTickBehavior::Burst);
    schedule.take(start);
    const auto now = at(35ms);  // a stall over three deadlines
    for (auto expected : {10ms, 20ms, 30ms}) {
        ASSERT_TRUE(schedule.due(now));
        EXPECT_EQ(schedule.take(now), at(expected));
    }
    EXPECT_FALSE(schedule.due(now));
    EXPECT_EQ(schedule.deadline(), at(40ms));
}

TEST_F(TickScheduleTest, SkipJumpsToTheFirstGridPointAfterNow) {
    TickSchedule schedule(start, kPeriodNs, MissedTickBehavior::Skip);
    schedule.take(start);
    EXPECT_EQ(schedule.take(at(35ms)), at(10ms));
    EXPECT_EQ(schedule.deadline(), at(40ms));
    // Exactly on a grid point: the next one strictly after it.
    EXPECT_EQ(schedule.take(at(60ms)), at(40ms));
    EXPECT_EQ(schedule.deadline(), at(70ms));
}

TEST_F(TickScheduleTest, HugePeriodsSaturateInsteadOfOverflowing) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (MissedTickBehavior behavior : {MissedTickBehavior::Burst, MissedTickBehavior::Skip}) {
        TickSchedule schedule(start, max, behavior);
        schedule.take(at(1s));
        EXPECT_EQ(schedule.deadline(), SteadyClock::time_point::max());
        EXPECT_FALSE(schedule.due(at(1000h)));
    }
}

TEST(SaturatingAddTest, AddsOrSaturates) {
    const auto base = SteadyClock::time_point(5s);
    EXPECT_EQ(saturating_add(base, 1'000'000'000), SteadyClock::time_point(6s));
    EXPECT_EQ(saturating_add(base, std::numeric_limits<std::uint64_t>::max()), SteadyClock::time_point::max());
    EXPECT_EQ(saturating_add(SteadyClock::time_point::max() - 1ns, 1), SteadyClock::time_point::max());
    EXPECT_EQ(saturating_add(SteadyClock::time_point(-5s), 10'000'000'000), SteadyClock::time_point(5s));
}

}  // namespace
}  // namespace brindlemoor::runtime
