#include "stats_vector.hpp"

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "output_test_support.hpp"

namespace brindlemoor {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Reads a test-owned nanosecond counter, so time moves only when a test says so.
struct ManualClock {
    const std::uint64_t* now;
    std::uint64_t operator()() const noexcept { return *now; }
};

class StatsVectorTest : public ::testing::Test {
protected:
    static constexpr std::uint64_t kStart = 1'000'000;

    // Time since the vector's start.
    void set_time(std::uint64_t elapsed) { now_ = kStart + elapsed; }

    BasicStatsVector<ManualClock> make_vector(std::uint64_t window_size) {
        now_ = kStart;
        return BasicStatsVector<ManualClock>(window_size, ManualClock{&now_});
    }

    static void send(BasicStatsVector<ManualClock>& vector, std::initializer_list<std::uint64_t> seqs) {
        for (std::uint64_t seq : seqs) vector.on_send(seq);
    }
    static void receive(BasicStatsVector<ManualClock>& vector, std::initializer_list<std::uint64_t> seqs) {
        for (std::uint64_t seq : seqs) vector.on_receive(seq);
    }

    std::uint64_t now_ = kStart;
};

TEST_F(StatsVectorTest, FreshVectorFilesSendsAndRepliesInTheActiveWindow) {
    auto vector = make_vector(5);
    EXPECT_EQ(vector.active().first_seq, 1u);
    EXPECT_EQ(vector.previous().first_seq, 1u);
    EXPECT_EQ(vector.active().slots.size(), 5u);

    set_time(100);
    send(vector, {1, 2});
    set_time(400);
    receive(vector, {1});
    set_time(600);
    receive(vector, {2});

    const Window& active = vector.active();
    EXPECT_EQ(active.stats.sent, 2u);
    EXPECT_EQ(active.stats.rcvd, 2u);
    EXPECT_EQ(active.next_expected, 3u);
    EXPECT_EQ(active.last_sent, 2u);
    EXPECT_EQ(active.stats.rtt_sum, 300u + 500u);
    EXPECT_EQ(active.slots[0].seq, 1u);
    EXPECT_EQ(active.slots[0].sent_ns, 100u);
    EXPECT_EQ(active.slots[0].rcvd_ns, 400u);
    EXPECT_EQ(vector.previous().stats, WindowStats{});
}

TEST_F(StatsVectorTest, FirstTickReportsTheEmptyInitialWindowAndSwaps) {
    auto vector = make_vector(5);
    send(vector, {1, 2});
    receive(vector, {1, 2});
    vector.error_counters().invalid_key = 4;
    vector.count_send_error();

    const std::optional<SessionReport> report = vector.on_tick();

    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->stats, WindowStats{});
    ErrorCounters expected_counters;
    expected_counters.invalid_key = 4;
    EXPECT_EQ(report->error_counters, expected_counters);
    EXPECT_EQ(vector.error_counters(), ErrorCounters{});

    const Window& previous = vector.previous();
    EXPECT_EQ(previous.first_seq, 1u);
    EXPECT_EQ(previous.stats.sent, 2u);
    EXPECT_EQ(previous.stats.rcvd, 2u);
    EXPECT_EQ(previous.stats.send_error, 1u);

    const Window& active = vector.active();
    EXPECT_EQ(active.first_seq, 3u);
    EXPECT_EQ(active.next_expected, 3u);
    EXPECT_EQ(active.last_sent, 0u);
    EXPECT_EQ(active.stats, WindowStats{});

    // The ranges 1..5 and 3..7 overlap; an overlapping number belongs to the active window.
    receive(vector, {3});
    EXPECT_EQ(vector.active().stats.rcvd, 1u);
    EXPECT_EQ(vector.previous().stats.rcvd, 2u);
}

TEST_F(StatsVectorTest, SecondTickReportsTheFirstIntervalWithItsSendErrorAndLoss) {
    auto vector = make_vector(5);
    send(vector, {1, 2, 3});
    vector.count_send_error();
    receive(vector, {1});
    ASSERT_TRUE(vector.on_tick().has_value());
    send(vector, {4});

    const std::optional<SessionReport> report = vector.on_tick();

    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->stats.sent, 3u);
    EXPECT_EQ(report->stats.rcvd, 1u);
    EXPECT_EQ(report->stats.lost, 2u);
    EXPECT_EQ(report->stats.send_error, 1u);
    // The window just reported restarts above the last number sent.
    EXPECT_EQ(vector.active().first_seq, 5u);
}

// Replies classified after numbers 1..5 were sent at time 0; each reply has a round trip of 1000 ns, so
// rtt_sum shows how many round trips were recorded.
TEST_F(StatsVectorTest, ClassifiesDuplicatesReorderingAndGaps) {
    struct Case {
        const char* name;
        std::initializer_list<std::uint64_t> replies;
        std::uint64_t rcvd, dups, reordered, next_expected;
    };
    const Case cases[] = {
        {"in order", {1, 2, 3}, 3, 0, 0, 4},
        {"duplicate", {1, 1}, 2, 1, 0, 2},
        {"third copy", {1, 1, 1}, 3, 2, 0, 2},
        {"reordered", {2, 1}, 2, 0, 1, 3},
        {"gap then late fill", {1, 3, 2}, 3, 0, 1, 4},
        {"duplicate of a reordered reply", {3, 1, 1}, 3, 1, 1, 4},
        {"jump to the end", {5}, 1, 0, 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto vector = make_vector(5);
        send(vector, {1, 2, 3, 4, 5});
        set_time(1000);
        receive(vector, c.replies);
        const Window& active = vector.active();
        EXPECT_EQ(active.stats.rcvd, c.rcvd);
        EXPECT_EQ(active.stats.dups, c.dups);
        EXPECT_EQ(active.stats.reordered, c.reordered);
        EXPECT_EQ(active.next_expected, c.next_expected);
        EXPECT_EQ(active.stats.rtt_sum, 1000 * (c.rcvd - c.dups));
        EXPECT_EQ(vector.error_counters(), ErrorCounters{});
    }
}

TEST_F(StatsVectorTest, TracksRttExtremes) {
    auto vector = make_vector(5);
    send(vector, {1, 2, 3});  // all sent at time 0
    struct Step {
        std::uint64_t seq, rtt, rtt_min, rtt_max;
    };
    for (const Step& step : {Step{1, 300, 300, 300}, Step{2, 500, 300, 500}, Step{3, 200, 200, 500}}) {
        set_time(step.rtt);
        receive(vector, {step.seq});
        EXPECT_EQ(vector.active().stats.rtt_min, step.rtt_min) << "after " << step.seq;
        EXPECT_EQ(vector.active().stats.rtt_max, step.rtt_max) << "after " << step.seq;
    }
    EXPECT_EQ(vector.active().stats.rtt_sum, 1000u);
}

TEST_F(StatsVectorTest, LostIsSentMinusDistinctReplies) {
    struct Case {
        std::initializer_list<std::uint64_t> replies;
        std::uint64_t lost;
    };
    for (const Case& c : {Case{{1, 2, 3, 4, 5, 1}, 0}, Case{{1, 2, 3}, 2}, Case{{}, 5}}) {
        auto vector = make_vector(5);
        send(vector, {1, 2, 3, 4, 5});
        set_time(1000);
        receive(vector, c.replies);
        ASSERT_TRUE(vector.on_tick().has_value());
        send(vector, {6});
        const std::optional<SessionReport> report = vector.on_tick();
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(report->stats.lost, c.lost) << "replies " << c.replies.size();
    }
}

TEST_F(StatsVectorTest, ReplyForANumberNotYetSentIsTimedAgainstTheSlotAndNeverMakesLossWrap) {
    auto vector = make_vector(5);
    set_time(100);
    send(vector, {1});
    set_time(200);
    receive(vector, {1, 2});  // 2 has not been sent: its slot still holds send time 0
    EXPECT_EQ(vector.active().stats.rcvd, 2u);
    EXPECT_EQ(vector.active().next_expected, 3u);
    EXPECT_EQ(vector.active().stats.rtt_max, 200u);

    set_time(300);
    send(vector, {2});  // overwrites the slot, so the genuine reply is a first reception below next_expected
    set_time(350);
    receive(vector, {2});
    EXPECT_EQ(vector.active().stats.reordered, 1u);
    EXPECT_EQ(vector.active().stats.dups, 0u);
    EXPECT_EQ(vector.active().stats.rtt_min, 50u);

    ASSERT_TRUE(vector.on_tick().has_value());
    send(vector, {3});
    const std::optional<SessionReport> report = vector.on_tick();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->stats.sent, 2u);
    EXPECT_EQ(report->stats.rcvd, 3u);
    EXPECT_EQ(report->stats.lost, 0u);  // 3 answers for 2 sends is no loss, not 2^64 - 1
}

TEST_F(StatsVectorTest, TooManySendsAndRepliesOutsideTheWindows) {
    auto vector = make_vector(5);
    send(vector, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(vector.active().stats.sent, 5u);
    EXPECT_EQ(vector.active().stats.err_sent_seq_high, 2u);
    EXPECT_EQ(vector.active().last_sent, 7u);

    receive(vector, {6});
    EXPECT_EQ(vector.error_counters().err_rcvd_after_windows, 1u);
    EXPECT_EQ(vector.active().stats.rcvd, 0u);

    const std::optional<SessionReport> first = vector.on_tick();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->error_counters.err_rcvd_after_windows, 1u);
    EXPECT_EQ(vector.active().first_seq, 8u);

    receive(vector, {6});
    EXPECT_EQ(vector.error_counters().err_rcvd_between_windows, 1u);
    EXPECT_EQ(vector.error_counters().err_rcvd_after_windows, 0u);
    EXPECT_EQ(vector.previous().stats.rcvd, 0u);
}

TEST_F(StatsVectorTest, SendBelowTheActiveWindowIsCountedNotFiled) {
    auto vector = make_vector(5);
    send(vector, {1, 2});
    ASSERT_TRUE(vector.on_tick().has_value());
    send(vector, {1});
    EXPECT_EQ(vector.active().stats.err_sent_seq_low, 1u);
    EXPECT_EQ(vector.active().stats.sent, 0u);
    EXPECT_EQ(vector.active().last_sent, 1u);
}

TEST_F(StatsVectorTest, LateRepliesAndSequenceZero) {
    auto vector = make_vector(5);
    receive(vector, {0});  // below both windows from the start
    EXPECT_EQ(vector.error_counters().late_pkts, 1u);

    send(vector, {1, 2});
    ASSERT_TRUE(vector.on_tick().has_value());
    send(vector, {3});
    ASSERT_TRUE(vector.on_tick().has_value());  // reports 1..5
    receive(vector, {1, 0});
    EXPECT_EQ(vector.error_counters().late_pkts, 2u);
    EXPECT_EQ(vector.error_counters().err_rcvd_between_windows, 0u);
    EXPECT_EQ(vector.previous().stats.rcvd, 0u);
}

TEST_F(StatsVectorTest, SkippedTickLeavesWindowsAloneAndIsCountedInTheNextReport) {
    auto vector = make_vector(5);
    EXPECT_FALSE(vector.on_tick().has_value());
    EXPECT_EQ(vector.error_counters().skip_interval, 1u);

    send(vector, {1});
    const std::optional<SessionReport> first = vector.on_tick();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->error_counters.skip_interval, 1u);

    // No send in the new active window: skipped, and the previous window keeps taking replies.
    EXPECT_FALSE(vector.on_tick().has_value());
    EXPECT_EQ(vector.active().first_seq, 2u);
    receive(vector, {1});
    EXPECT_EQ(vector.previous().stats.rcvd, 1u);

    send(vector, {2});
    const std::optional<SessionReport> second = vector.on_tick();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->stats.sent, 1u);
    EXPECT_EQ(second->stats.rcvd, 1u);
    EXPECT_EQ(second->stats.lost, 0u);
    EXPECT_EQ(second->error_counters.skip_interval, 1u);
}

TEST_F(StatsVectorTest, WindowSizeThreeTakesThreeSends) {
    auto vector = make_vector(3);
    send(vector, {1, 2, 3, 4});
    EXPECT_EQ(vector.active().stats.sent, 3u);
    EXPECT_EQ(vector.active().stats.err_sent_seq_high, 1u);
    ASSERT_TRUE(vector.on_tick().has_value());
    EXPECT_EQ(vector.active().first_seq, 5u);
}

TEST_F(StatsVectorTest, RecycledSlotsKeepOldNumbersThatNeverMatchTheNewRange) {
    auto vector = make_vector(3);
    set_time(10);
    send(vector, {1, 2, 3});
    receive(vector, {1, 2, 3});
    ASSERT_TRUE(vector.on_tick().has_value());
    send(vector, {4});
    ASSERT_TRUE(vector.on_tick().has_value());  // 1..3 reported; its slots now serve 5..7

    const Window& active = vector.active();
    EXPECT_EQ(active.first_seq, 5u);
    EXPECT_EQ(active.slots[0].seq, 1u);  // untouched by the restart
    set_time(50);
    receive(vector, {6, 5});  // 5 is below next_expected and its slot holds the received number 1: no duplicate
    EXPECT_EQ(vector.active().stats.rcvd, 2u);
    EXPECT_EQ(vector.active().stats.dups, 0u);
    EXPECT_EQ(vector.active().stats.reordered, 1u);
}

TEST_F(StatsVectorTest, WindowAtTheTopOfTheSequenceSpaceStaysInBounds) {
    auto vector = make_vector(5);
    send(vector, {kMax - 2});  // too high; moves last_sent so the next window starts at kMax - 1
    ASSERT_TRUE(vector.on_tick().has_value());
    ASSERT_EQ(vector.active().first_seq, kMax - 1);

    // The range ends at kMax instead of wrapping: both numbers are filed.
    send(vector, {kMax - 1, kMax});
    set_time(500);
    EXPECT_EQ(vector.active().stats.sent, 2u);
    EXPECT_EQ(vector.active().stats.err_sent_seq_high, 0u);

    receive(vector, {kMax});  // next_expected wraps to 0
    receive(vector, {kMax - 1, kMax});
    EXPECT_EQ(vector.active().stats.rcvd, 3u);
    EXPECT_EQ(vector.active().stats.reordered, 1u);
    EXPECT_EQ(vector.active().stats.dups, 1u);

    send(vector, {0});  // a wrapped number lies below the range
    EXPECT_EQ(vector.active().stats.err_sent_seq_low, 1u);
}

TEST_F(StatsVectorTest, WindowStartingAtZeroAfterTheLastNumber) {
    auto vector = make_vector(5);
    send(vector, {kMax});
    ASSERT_TRUE(vector.on_tick().has_value());
    EXPECT_EQ(vector.active().first_seq, 0u);
    send(vector, {1});
    receive(vector, {1});
    EXPECT_EQ(vector.active().stats.sent, 1u);
    EXPECT_EQ(vector.active().stats.rcvd, 1u);
    EXPECT_EQ(vector.active().next_expected, 2u);
}

TEST_F(StatsVectorTest, WindowSizeZeroNeverIndexesASlot) {
    auto vector = make_vector(0);
    send(vector, {1});
    EXPECT_EQ(vector.active().stats.err_sent_seq_high, 1u);
    receive(vector, {1});
    EXPECT_EQ(vector.error_counters().err_rcvd_after_windows, 1u);

    send(vector, {kMax});
    ASSERT_TRUE(vector.on_tick().has_value());
    ASSERT_EQ(vector.active().first_seq, 0u);  // range start 0, empty: the wrapped end would be 2^64 - 1
    send(vector, {0, 5});
    receive(vector, {0, 5});
    EXPECT_EQ(vector.active().stats.sent, 0u);
    EXPECT_EQ(vector.active().stats.err_sent_seq_high, 2u);
    EXPECT_EQ(vector.error_counters().err_rcvd_after_windows, 2u);
}

TEST(StatsVectorAllocationTest, UnallocatableWindowThrows) {
    // More than the address space, and a size whose byte count overflows.
    for (std::uint64_t window_size : {std::uint64_t{1} << 43, kMax}) {
        EXPECT_THROW(StatsVector{window_size}, std::length_error) << window_size;
    }
}

TEST(StatsVectorClockTest, MonotonicTimesAreMeasuredFromConstruction) {
    StatsVector vector(5);
    vector.on_send(1);
    vector.on_receive(1);
    const std::uint64_t sent_ns = vector.active().slots[0].sent_ns;
    const std::uint64_t rcvd_ns = vector.active().slots[0].rcvd_ns;
    EXPECT_LE(sent_ns, rcvd_ns);
    EXPECT_EQ(vector.active().stats.rtt_sum, rcvd_ns - sent_ns);
    // Elapsed since construction, not the clock's epoch: far below an hour in any run.
    EXPECT_LT(rcvd_ns, std::uint64_t{3600} * 1'000'000'000);
}

TEST_F(StatsVectorTest, LogsTheFourWindowEvents) {
    log_errors_as_json();
    auto vector = make_vector(5);
    send(vector, {1, 2});
    ASSERT_TRUE(vector.on_tick().has_value());  // active 3..7

    testing::internal::CaptureStderr();
    send(vector, {1});   // too low
    send(vector, {8});   // too high; the next active window starts at 9
    receive(vector, {8});  // above the active window
    EXPECT_TRUE(vector.on_tick().has_value());
    receive(vector, {8});  // between 3..7 and 9..13
    receive(vector, {2});  // late: no event
    const std::string log = captured_stderr();

    const auto occurrences = [&log](const std::string& text) {
        std::size_t count = 0;
        for (std::size_t pos = 0; (pos = log.find(text, pos)) != std::string::npos; pos += text.size()) ++count;
        return count;
    };
    EXPECT_EQ(occurrences(R"("target":"brindlemoor::stats_vector")"), 4u) << log;
    EXPECT_EQ(occurrences(R"("level":"ERROR")"), 4u) << log;
    for (const char* message : {"Send seq too low", "Send seq too high",
                                "Packet received with sequence number higher than active window",
                                "Packet received with sequence number between windows. This should not happen"}) {
        EXPECT_NE(log.find(std::string(R"("message":")") + message + '"'), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace brindlemoor
