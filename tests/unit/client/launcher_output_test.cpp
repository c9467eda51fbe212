#include "launcher_output.hpp"

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "output_test_support.hpp"

namespace brindlemoor {
namespace {

// 2024-03-05T14:07:09.123456789Z
WallClock::time_point test_time(std::uint64_t fraction_ns = 123'456'789) {
    const auto since_epoch = std::chrono::seconds(1'709'647'629) + std::chrono::nanoseconds(fraction_ns);
    return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(since_epoch));
}

// Every field non-zero and distinct.
WindowStats busy_stats() {
    WindowStats stats;
    stats.lost = 1;
    stats.dups = 2;
    stats.rcvd = 12;
    stats.reordered = 3;
    stats.sent = 11;
    stats.rtt_sum = 25'000;  // 10 distinct replies: 2.50µs on average
    stats.rtt_max = 7'000'000;
    stats.rtt_min = 1000;
    stats.err_sent_seq_high = 4;
    stats.err_sent_seq_low = 5;
    stats.send_error = 6;
    return stats;
}
ErrorCounters busy_counters() {
    return ErrorCounters{21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
}

TEST(FormatDurationTest, PicksTheUnitBeforeRounding) {
    struct Case {
        std::uint64_t nanoseconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "0ns"},
        {999, "999ns"},
        {1000, "1.00\xC2\xB5s"},
        {1004, "1.00\xC2\xB5s"},
        {1005, "1.01\xC2\xB5s"},
        {1995, "2.00\xC2\xB5s"},
        {999'994, "999.99\xC2\xB5s"},
        {999'995, "1000.00\xC2\xB5s"},
        {1'000'000, "1.00ms"},
        {1'234'567, "1.23ms"},
        {999'999'999, "1000.00ms"},
        {1'500'000'000, "1.50s"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073.71s"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_duration(c.nanoseconds), c.text) << c.nanoseconds;
}

TEST(RttAvgTest, DividesTheSumByTheDistinctReplies) {
    struct Case {
        std::uint64_t rtt_sum, rcvd, dups, avg;
    };
    const Case cases[] = {
        {0, 0, 0, 0},
        {3000, 4, 1, 1000},
        {3001, 3, 0, 1000},  // the remainder is dropped
        {5000, 0, 0, 0},
        {5000, 3, 3, 0},  // broken sums: no division by zero
    };
    for (const Case& c : cases) {
        WindowStats stats;
        stats.rtt_sum = c.rtt_sum;
        stats.rcvd = c.rcvd;
        stats.dups = c.dups;
        EXPECT_EQ(rtt_avg(stats), c.avg) << c.rtt_sum << "/" << c.rcvd << "-" << c.dups;
    }
}

using ClientTextTest = LocalTimeIsUtc;

TEST_F(ClientTextTest, Lines) {
    const std::string head =
        "14:07:09.123 rtt_avg: 2.50\xC2\xB5s rtt_hi: 7.00ms rtt_lo: 1.00\xC2\xB5s sent: 11 rcvd: 12";
    const std::string busy_items =
        " lost: 1 reords: 3 dups: 2 ( decode error: 31 err_rcvd_seq_high: 23 err_rcvd_between_windows: 24"
        " icmp_port_unreachable: 25 icmp_host_unreachable: 26 icmp_network_unreachable: 27 invalid_key: 29"
        " invalid_payload: 30 late_packets: 22 recv_error: 28 err_skipped_interval: 21 err_sent_seq_high: 4"
        " err_sent_seq_low: 5 send_error: 6 )";
    const std::string zero_head = "14:07:09.123 rtt_avg: 0ns rtt_hi: 0ns rtt_lo: 0ns sent: 1 rcvd: 0";
    const std::string zero_items =
        " lost: 0 reords: 0 dups: 0 ( decode error: 0 err_rcvd_seq_high: 0 err_rcvd_between_windows: 0"
        " icmp_port_unreachable: 0 icmp_host_unreachable: 0 icmp_network_unreachable: 0 invalid_key: 0"
        " invalid_payload: 0 late_packets: 0 recv_error: 0 err_skipped_interval: 0 err_sent_seq_high: 0"
        " err_sent_seq_low: 0 send_error: 0 )";

    WindowStats only_sent;
    only_sent.sent = 1;
    WindowStats clean = busy_stats();
    clean.lost = clean.dups = clean.reordered = 0;
    clean.err_sent_seq_high = clean.err_sent_seq_low = clean.send_error = 0;
    clean.rcvd = 10;  // keeps rtt_avg at 2500 ns
    const std::string clean_head =
        "14:07:09.123 rtt_avg: 2.50\xC2\xB5s rtt_hi: 7.00ms rtt_lo: 1.00\xC2\xB5s sent: 11 rcvd: 10";
    ErrorCounters late_only;
    late_only.late_pkts = 3;
    WindowStats low_only = clean;
    low_only.err_sent_seq_low = 7;
    low_only.dups = 1;
    ErrorCounters decode_only;
    decode_only.decode_error = 2;
    WindowStats nothing_sent = busy_stats();
    nothing_sent.sent = 0;

    struct Case {
        const char* name;
        WindowStats stats;
        ErrorCounters counters;
        std::optional<std::string> tag;
        bool verbose;
        std::string line;
    };
    const Case cases[] = {
        {"nothing sent, verbose", nothing_sent, busy_counters(), "t", true, ""},
        {"standard, all busy, tag", busy_stats(), busy_counters(), "lab-1", false, head + busy_items + " tag: lab-1\n"},
        {"verbose, all busy, tag", busy_stats(), busy_counters(), "lab-1", true, head + busy_items + " tag: lab-1\n"},
        {"standard, clean, no tag", clean, {}, std::nullopt, false, clean_head + "\n"},
        {"standard, clean, empty tag", clean, {}, "", false, clean_head + " tag: \n"},
        {"standard, tag written unchanged", clean, {}, "a \"b\"\t\xC3\xA9", false,
         clean_head + " tag: a \"b\"\t\xC3\xA9\n"},
        {"verbose, zeros, no tag", only_sent, {}, std::nullopt, true, zero_head + zero_items + " tag: \n"},
        {"standard, only late packets", clean, late_only, std::nullopt, false, clean_head + " ( late_packets: 3 )\n"},
        {"standard, only seq low", low_only, {}, std::nullopt, false,
         "14:07:09.123 rtt_avg: 2.78\xC2\xB5s rtt_hi: 7.00ms rtt_lo: 1.00\xC2\xB5s sent: 11 rcvd: 10 dups: 1"
         " ( err_sent_seq_low: 7 )\n"},
        {"standard, only decode errors", clean, decode_only, std::nullopt, false,
         clean_head + " ( decode error: 2 )\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_client_text(test_time(), c.stats, c.counters, c.tag, c.verbose), c.line) << c.name;
    }
}

TEST(ClientJsonTest, KeysInOrderWithAndWithoutTag) {
    const std::string numbers =
        R"("pkts_lost":1,"pkts_dups":2,"pkts_rcvd":12,"pkts_reordered":3,"pkts_sent":11,"rtt_avg":2500,)"
        R"("rtt_max":7000000,"rtt_min":1000,"err_pkts_sent_after_window":4,"err_pkts_sent_before_window":5,)"
        R"("send_error":6,"skip_interval":21,"late_pkts":22,"err_rcvd_after_windows":23,)"
        R"("err_rcvd_between_windows":24,"icmp_port_unreachable":25,"icmp_host_unreachable":26,)"
        R"("icmp_network_unreachable":27,"recv_error":28})";
    const std::string with_tag = format_client_json(test_time(), busy_stats(), busy_counters(), "lab-1");
    EXPECT_EQ(with_tag, R"({"timestamp":"2024-03-05T14:07:09.123456789Z","tag":"lab-1",)" + numbers + "\n");
    const std::string without_tag = format_client_json(test_time(), busy_stats(), busy_counters(), std::nullopt);
    EXPECT_EQ(without_tag, R"({"timestamp":"2024-03-05T14:07:09.123456789Z",)" + numbers + "\n");

    EXPECT_EQ(nlohmann::json::parse(with_tag).size(), 21u);
    EXPECT_EQ(nlohmann::json::parse(without_tag).size(), 20u);
}

TEST(ClientJsonTest, NothingSentStillGivesALineAndWholeSecondsHaveNoFraction) {
    const std::string line = format_client_json(test_time(0), WindowStats{}, ErrorCounters{}, "");
    EXPECT_EQ(line.rfind(R"({"timestamp":"2024-03-05T14:07:09Z","tag":"","pkts_lost":0,)", 0), 0u) << line;
    EXPECT_NE(line.find(R"("pkts_sent":0,"rtt_avg":0,"rtt_max":0,"rtt_min":0,)"), std::string::npos) << line;
}

TEST(ClientJsonTest, EscapesTheTag) {
    const std::string line =
        format_client_json(test_time(), WindowStats{}, ErrorCounters{}, "q\"b\\\b\t\n\f\r\x01\x1f\x7f\xC2\xB5/");
    EXPECT_NE(line.find(R"("tag":"q\"b\\\b\t\n\f\r\u0001\u001f)" "\x7f\xC2\xB5/\","), std::string::npos) << line;
}

TEST(ClientJsonTest, TagThatIsNotUtf8IsLoggedAndGivesNoLine) {
    log_errors_as_json();
    testing::internal::CaptureStderr();
    const std::string line = format_client_json(test_time(), WindowStats{}, ErrorCounters{}, "bad\xFF");
    const std::string log = captured_stderr();

    EXPECT_EQ(line, "");
    EXPECT_NE(log.find(R"("level":"ERROR","message":"client output serializaion error: )"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("target":"brindlemoor::launcher_output")"), std::string::npos) << log;
}

}  // namespace
}  // namespace brindlemoor
