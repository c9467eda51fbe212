// The runtime's pure rules: the worker-count variable and the periodic timer's deadlines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <limits>
#include <random>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cpu_quota.hpp"
#include "runtime/tick_schedule.hpp"
#include "runtime/timer_queue.hpp"
#include "worker_threads.hpp"

namespace brindlemoor::runtime {
namespace {

using namespace std::chrono_literals;

TEST(WorkerThreadsTest, UnsetUsesTheAvailableProcessorsOrOne) {
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

using enum CgroupVersion;

TEST(CpuQuotaTest, TheProcessesCgroupAndItsAncestorsInEachHierarchyThatLimitsTheCpu) {
    const std::string_view hybrid_mounts =
        "31 22 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
        "34 31 0:31 / /sys/fs/cgroup/cpuset rw,relatime - cgroup cgroup rw,cpuset\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
    const std::string_view v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 master:1 - cgroup2 cgroup2 rw\n";
    const std::string_view docker_v1_mount =
        "40 31 0:36 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro,nosuid - cgroup cgroup rw,cpu,cpuacct\n";
    const struct {
        std::string_view name;
        std::string_view cgroup;
        std::string_view mountinfo;
        std::vector<CgroupDirectory> directories;
    } cases[] = {
        {"hybrid, at the roots", "4:memory:/m\n3:cpuset:/\n2:cpuacct:/\n1:cpu:/\n0::/\n", hybrid_mounts,
         {{V2, "/sys/fs/cgroup/unified"}, {V1, "/sys/fs/cgroup/cpu"}}},
        {"v2, leaf first", "0::/user.slice/session-2.scope\n", v2_mount,
         {{V2, "/sys/fs/cgroup/user.slice/session-2.scope"},
          {V2, "/sys/fs/cgroup/user.slice"},
          {V2, "/sys/fs/cgroup"}}},
        {"v1 co-mounted, the mount shows the process's own cgroup", "5:cpu,cpuacct:/docker/abc\n", docker_v1_mount,
         {{V1, "/sys/fs/cgroup/cpu,cpuacct"}}},
        {"v1 below the cgroup the mount shows", "5:cpuacct,cpu:/docker/abc/worker\n", docker_v1_mount,
         {{V1, "/sys/fs/cgroup/cpu,cpuacct/worker"}, {V1, "/sys/fs/cgroup/cpu,cpuacct"}}},
        {"v1 mount of a cgroup that is no ancestor", "5:cpu,cpuacct:/docker/abcdef\n", docker_v1_mount, {}},
        {"outside the cgroup namespace", "0::/../../init.scope\n", v2_mount, {}},
        {"cpuset and cpuacct are no cpu controller", "3:cpuset:/\n2:cpuacct:/\n", hybrid_mounts, {}},
        {"escaped blanks in the mount point", "0::/a\n",
         "30 23 0:26 / /sys/fs/my\\040cgroup rw - cgroup2 none rw\n",
         {{V2, "/sys/fs/my cgroup/a"}, {V2, "/sys/fs/my cgroup"}}},
        {"not mounted", "0::/a\n1:cpu:/b\n", "22 1 0:21 / /proc rw - proc proc rw\n", {}},
        {"unreadable texts", "", "", {}},
        {"malformed lines", "garbage\n0:\n", "1 2 3\n- cgroup2\n", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(cpu_quota_directories(c.cgroup, c.mountinfo), c.directories) << c.name;
}

TEST(CpuQuotaTest, QuotaOverPeriodRoundedUpAtLeastOne) {
    const struct {
        std::string_view cpu_max;
        std::optional<std::size_t> processors;
    } v2_cases[] = {
        {"max 100000\n", std::nullopt}, {"150000 100000\n", 2},  {"100000 100000", 1},
        {"800000 100000\n", 8},          {"1000 100000\n", 1},    {"1 1000000\n", 1},
        {"", std::nullopt},               {"150000\n", std::nullopt}, {"x 100000\n", std::nullopt},
        {"150000 0\n", std::nullopt},     {"1 2 3\n", std::nullopt},
    };
    for (const auto& c : v2_cases) EXPECT_EQ(cgroup2_quota_processors(c.cpu_max), c.processors) << c.cpu_max;

    const struct {
        std::string_view quota;
        std::string_view period;
        std::optional<std::size_t> processors;
    } v1_cases[] = {
        {"-1\n", "100000\n", std::nullopt}, {"150000\n", "100000\n", 2}, {"250000", "100000", 3},
        {"50000\n", "100000\n", 1},         {"0\n", "100000\n", std::nullopt}, {"", "", std::nullopt},
        {"100000\n", "0\n", std::nullopt},  {"100000\n", "", std::nullopt},
    };
    for (const auto& c : v1_cases) {
        EXPECT_EQ(cgroup1_quota_processors(c.quota, c.period), c.processors) << c.quota << " / " << c.period;
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

TEST(TimerSlackTest, FivePercentOfThePeriodAtMostOneMillisecond) {
    const struct {
        std::uint64_t period_ns;
        std::chrono::nanoseconds slack;
    } cases[] = {{1, 0ns}, {100'000, 5us}, {1'000'000, 50us}, {20'000'000, 1ms}, {1'000'000'000, 1ms},
                 {std::numeric_limits<std::uint64_t>::max(), 1ms}};
    for (const auto& c : cases) EXPECT_EQ(timer_slack(c.period_ns), c.slack) << c.period_ns;
}

class TimerQueueTest : public ::testing::Test {
protected:
    const SteadyClock::time_point start = SteadyClock::time_point(1h);
    SteadyClock::time_point at(std::chrono::nanoseconds offset) const { return start + offset; }
    detail::TimerQueue queue;
};

TEST_F(TimerQueueTest, WakesAtTheEarliestDeadlinePlusSlackNeverBeforeADeadline) {
    EXPECT_EQ(queue.wake_time(), SteadyClock::time_point::max());
    detail::TimerEntry relaxed, tight, later, never;
    relaxed.slack = never.slack = 1ms;
    tight.slack = 5us;
    queue.schedule(relaxed, at(10ms));
    EXPECT_EQ(queue.wake_time(), at(11ms));
    // A later deadline with a smaller slack can set the wake-up; one due after that wake-up cannot.
    queue.schedule(tight, at(10'500us));
    queue.schedule(later, at(10'600us));
    EXPECT_EQ(queue.wake_time(), at(10'505us));
    queue.schedule(never, SteadyClock::time_point::max() - 1ns);
    queue.cancel(relaxed);
    queue.cancel(tight);
    queue.cancel(later);
    EXPECT_EQ(queue.wake_time(), SteadyClock::time_point::max());  // saturates instead of overflowing
    queue.cancel(never);
    queue.cancel(never);  // not queued: nothing happens
    EXPECT_TRUE(queue.empty());
}

TEST_F(TimerQueueTest, MatchesAPlainListUnderRandomSchedulesMovesAndCancels) {
    constexpr int kEntries = 200;
    std::vector<detail::TimerEntry> entries(kEntries);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pick(0, kEntries - 1);
    std::uniform_int_distribution<int> offset_us(0, 5000);
    std::uniform_int_distribution<int> slack_us(0, 1000);
    std::uniform_int_distribution<int> action(0, 9);
    for (int step = 0; step < 20'000; ++step) {
        detail::TimerEntry& entry = entries[static_cast<std::size_t>(pick(random))];
        const int what = action(random);
        if (what == 0) {
            queue.cancel(entry);
        } else if (what == 1) {
            // Takes what is due at a random instant: exactly the entries due by then, earliest first.
            const auto now = at(std::chrono::microseconds(offset_us(random)));
            SteadyClock::time_point previous = SteadyClock::time_point::min();
            queue.take_due(now, [&](detail::TimerEntry& fired) {
                EXPECT_FALSE(fired.queued());
                EXPECT_LE(fired.deadline, now);
                EXPECT_GE(fired.deadline, previous);
                previous = fired.deadline;
            });
            for (const auto& other : entries) EXPECT_FALSE(other.queued() && other.deadline <= now);
        } else {
            entry.slack = std::chrono::microseconds(slack_us(random));
            queue.schedule(entry, at(std::chrono::microseconds(offset_us(random))));
        }
        SteadyClock::time_point expected = SteadyClock::time_point::max();
        for (const auto& other : entries) {
            if (other.queued()) expected = std::min(expected, other.deadline + other.slack);
        }
        ASSERT_EQ(queue.wake_time(), expected) << "step " << step;
    }
}

TEST_F(TimerQueueTest, AFiredTimerMayQueueItselfAgain) {
    detail::TimerEntry entry;
    queue.schedule(entry, at(1ms));
    int fired = 0;
    queue.take_due(at(5ms), [&](detail::TimerEntry& due) {
        ++fired;
        queue.schedule(due, at(10ms));
    });
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(entry.queued());
    EXPECT_EQ(queue.wake_time(), at(10ms));
}

}  // namespace
}  // namespace brindlemoor::runtime
