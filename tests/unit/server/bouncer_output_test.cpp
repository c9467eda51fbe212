#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <variant>

#include "bouncer_output.hpp"
#include "output_test_support.hpp"

using namespace brindlemoor;
using namespace std::chrono;

namespace {

// 2023-11-14T14:03:27Z
constexpr std::int64_t kSecond = 1'699'970'607;

WallClock::time_point at(std::int64_t unix_seconds, std::int64_t nanos) {
    return WallClock::time_point(duration_cast<WallClock::duration>(seconds(unix_seconds) + nanoseconds(nanos)));
}

// 100 received, 100 sent, 2 port-unreachable, read at 14:03:27.512.
BouncerOutput example_record() {
    return BouncerOutput{.timestamp = at(kSecond, 512'000'000), .pkts_rcvd = 100, .pkts_sent = 100,
                         .icmp_port_unreachable = 2};
}

std::string json_line(const BouncerOutput& record) {
    auto result = format_server_json(record);
    if (const auto* error = std::get_if<SerializationError>(&result)) {
        ADD_FAILURE() << "unexpected serialization error: " << error->message;
        return {};
    }
    return std::get<std::string>(result);
}

// The start of the record's JSON line, as long as `expected_start`, for comparing with it.
std::string json_start(const BouncerOutput& record, const std::string& expected_start) {
    return json_line(record).substr(0, expected_start.size());
}

}  // namespace

TEST_F(LocalTimeIsUtc, TextLines) {
    const WallClock::time_point other_time = at(kSecond + 3600, 0);
    BouncerOutput tagged = example_record();
    tagged.tag = "lab";
    const BouncerOutput zero{.timestamp = at(kSecond, 512'000'000)};
    const BouncerOutput only_recv_error{.timestamp = at(kSecond, 512'000'000), .recv_error = 4};
    const BouncerOutput mixed{.timestamp = at(kSecond, 512'000'000), .pkts_rcvd = 9, .pkts_sent = 3,
                              .invalid_key = 2, .decode_error = 3, .send_error = 1, .icmp_host_unreachable = 5,
                              .icmp_network_unreachable = 6};
    BouncerOutput raw_tag = zero;
    raw_tag.tag = "a\"b\\c";
    BouncerOutput empty_tag = zero;
    empty_tag.tag = "";

    struct Case {
        const char* name;
        BouncerOutput record;
        bool verbose;
        std::string expected;
    };
    const Case cases[] = {
        {"standard, tag", tagged, false,
         "14:03:27.512 pkts_rcvd: 100 pkts_sent: 100 ( icmp_port_unreachable: 2 ) tag: lab\n"},
        {"verbose, no tag", example_record(), true,
         "14:03:27.512 pkts_rcvd: 100 pkts_sent: 100 send_error: 0 invalid_key: 0 decode_error: 0 "
         "( icmp_port_unreachable: 2 icmp_host_unreachable: 0 icmp_network_unreachable: 0 recv_error: 0 ) tag: \n"},
        {"verbose, tag", tagged, true,
         "14:03:27.512 pkts_rcvd: 100 pkts_sent: 100 send_error: 0 invalid_key: 0 decode_error: 0 "
         "( icmp_port_unreachable: 2 icmp_host_unreachable: 0 icmp_network_unreachable: 0 recv_error: 0 ) tag: lab\n"},
        {"standard, all zero", zero, false, "14:03:27.512 pkts_rcvd: 0 pkts_sent: 0\n"},
        {"verbose, all zero", zero, true,
         "14:03:27.512 pkts_rcvd: 0 pkts_sent: 0 send_error: 0 invalid_key: 0 decode_error: 0 "
         "( icmp_port_unreachable: 0 icmp_host_unreachable: 0 icmp_network_unreachable: 0 recv_error: 0 ) tag: \n"},
        {"standard, only recv_error", only_recv_error, false,
         "14:03:27.512 pkts_rcvd: 0 pkts_sent: 0 ( recv_error: 4 )\n"},
        {"standard, errors before the block", mixed, false,
         "14:03:27.512 pkts_rcvd: 9 pkts_sent: 3 send_error: 1 invalid_key: 2 decode_error: 3 "
         "( icmp_host_unreachable: 5 icmp_network_unreachable: 6 )\n"},
        {"tag written unchanged", raw_tag, false, "14:03:27.512 pkts_rcvd: 0 pkts_sent: 0 tag: a\"b\\c\n"},
        {"empty tag", empty_tag, false, "14:03:27.512 pkts_rcvd: 0 pkts_sent: 0 tag: \n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_server_text(c.record, c.verbose, other_time), c.expected) << c.name;
    }
}

TEST_F(LocalTimeIsUtc, TextTimeFallsBackToNowAndCutsMilliseconds) {
    BouncerOutput summary = example_record();
    summary.timestamp.reset();
    EXPECT_EQ(format_server_text(summary, false, at(kSecond + 60, 7'000'000)),
              "14:04:27.007 pkts_rcvd: 100 pkts_sent: 100 ( icmp_port_unreachable: 2 )\n");

    BouncerOutput late_in_second = example_record();
    late_in_second.timestamp = at(kSecond, 999'900'000);
    EXPECT_EQ(format_server_text(late_in_second, false, at(0, 0)).substr(0, 13), "14:03:27.999 ");
}

TEST(ServerJson, KeysInOrderAndAbsentFieldsLeftOut) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const BouncerOutput full{.timestamp = at(kSecond, 512'000'000), .tag = "lab", .pkts_rcvd = max,
                             .pkts_sent = 2, .invalid_key = 3, .decode_error = 4, .recv_error = 5,
                             .send_error = 6, .icmp_port_unreachable = 7, .icmp_host_unreachable = 8,
                             .icmp_network_unreachable = 9};
    EXPECT_EQ(json_line(full),
              R"({"timestamp":"2023-11-14T14:03:27.512Z","tag":"lab","pkts_rcvd":18446744073709551615,)"
              R"("pkts_sent":2,"invalid_key":3,"decode_error":4,"recv_error":5,"send_error":6,)"
              R"("icmp_port_unreachable":7,"icmp_host_unreachable":8,"icmp_network_unreachable":9})"
              "\n");

    EXPECT_EQ(json_line(BouncerOutput{.pkts_rcvd = 1}),
              R"({"pkts_rcvd":1,"pkts_sent":0,"invalid_key":0,"decode_error":0,"recv_error":0,"send_error":0,)"
              R"("icmp_port_unreachable":0,"icmp_host_unreachable":0,"icmp_network_unreachable":0})"
              "\n");

    BouncerOutput tag_only;
    tag_only.tag = "lab";
    const std::string tag_first = R"({"tag":"lab","pkts_rcvd":0,)";
    EXPECT_EQ(json_start(tag_only, tag_first), tag_first);
}

TEST(ServerJson, TimestampFractionHasFewestExactDigits) {
    struct Case {
        std::int64_t nanos;
        const char* timestamp;
    };
    const Case cases[] = {
        {0, "2023-11-14T14:03:27Z"},
        {512'000'000, "2023-11-14T14:03:27.512Z"},
        {512'340'000, "2023-11-14T14:03:27.512340Z"},
        {512'340'001, "2023-11-14T14:03:27.512340001Z"},
    };
    for (const Case& c : cases) {
        const std::string expected_start = std::string(R"({"timestamp":")") + c.timestamp + R"(","pkts_rcvd":0,)";
        EXPECT_EQ(json_start(BouncerOutput{.timestamp = at(kSecond, c.nanos)}, expected_start), expected_start);
    }
}

TEST(ServerJson, TagEscapesAndInvalidUtf8) {
    BouncerOutput record;
    record.tag = "q\"b\\\n\t\x01 caf\xc3\xa9";
    const std::string escaped = R"({"tag":"q\"b\\\n\t\u0001 café","pkts_rcvd":0,)";
    EXPECT_EQ(json_start(record, escaped), escaped);

    record.tag = "bad\xff";
    const auto result = format_server_json(record);
    ASSERT_TRUE(std::holds_alternative<SerializationError>(result));
    EXPECT_NE(std::get<SerializationError>(result).message.find("invalid UTF-8"), std::string::npos);
}

TEST(ServerPrint, ModeSelectsTheLineAndAFailedSerializationWritesNothing) {
    BouncerOutput record = example_record();
    record.tag = "lab";

    ::testing::internal::CaptureStdout();
    print_server_output(record, OutputMode::Standard);
    print_server_output(record, OutputMode::Verbose);
    print_server_output(record, OutputMode::JSON);
    BouncerOutput unserializable = record;
    // Constructed, not assigned from the literal: GCC 12 reports a false -Wrestrict (GCC bug 105329) at -O3 for
    // a one-character literal assigned to a std::string.
    unserializable.tag = std::string(1, '\xc3');
    print_server_output(unserializable, OutputMode::JSON);
    const std::string written = captured_stdout();

    // Text lines start with the local time "HH:MM:SS.mmm"; the rest is fixed.
    const std::string standard_rest = " pkts_rcvd: 100 pkts_sent: 100 ( icmp_port_unreachable: 2 ) tag: lab\n";
    const std::string verbose_rest =
        " pkts_rcvd: 100 pkts_sent: 100 send_error: 0 invalid_key: 0 decode_error: 0 ( icmp_port_unreachable: 2 "
        "icmp_host_unreachable: 0 icmp_network_unreachable: 0 recv_error: 0 ) tag: lab\n";
    const std::string json = json_line(record);
    ASSERT_EQ(written.size(), 12 + standard_rest.size() + 12 + verbose_rest.size() + json.size()) << written;
    EXPECT_EQ(written.substr(12, standard_rest.size()), standard_rest);
    EXPECT_EQ(written.substr(12 + standard_rest.size() + 12, verbose_rest.size()), verbose_rest);
    EXPECT_EQ(written.substr(written.size() - json.size()), json);
}
