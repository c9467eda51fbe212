// The server's rules that need no socket: the fate of a received datagram, socket-error reporting, the sender's
// address text, and what the aggregator prints per tick and on Ctrl+C.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "bouncer_aggregator_state.hpp"
#include "bouncer_port.hpp"

namespace brindlemoor {
namespace {

using Counter = BouncerCounters::Counter BouncerCounters::*;

constexpr std::uint64_t kKey = 0x8877665544332211;

TEST(PortReflectorTest, EchoesBytesZeroToTwentyThreeThenTheServersPortRange) {
    PortReflector reflector(kKey, 4000, 4009);
    BouncerCounters counters;
    // A probe (seq 0) and a datagram with every other bit of the first 24 bytes set.
    for (const Packet& sent : {Packet{0, kKey, 0x0123456789ABCDEF, 0, 0},
                               Packet{std::numeric_limits<std::uint64_t>::max(), kKey,
                                      std::numeric_limits<std::uint64_t>::max(), 0, 0}}) {
        const std::array<std::uint8_t, kPacketSize> bytes = sent.encode();
        const DatagramVerdict verdict = reflector.handle_datagram(bytes, counters);
        EXPECT_EQ(verdict.action, DatagramAction::Echo);
        EXPECT_TRUE(verdict.counter == &BouncerCounters::pkts_sent);
        Packet expected = sent;
        expected.port_lo = 4000;
        expected.port_hi = 4009;
        const std::array<std::uint8_t, kPacketSize> echo = expected.encode();
        EXPECT_TRUE(std::equal(echo.begin(), echo.end(), reflector.echo().begin())) << sent.seq;
    }
    EXPECT_EQ(read_counter(counters.pkts_rcvd), 2u);
    EXPECT_EQ(read_counter(counters.pkts_sent), 0u) << "raised by the caller once the send is done";
}

TEST(PortReflectorTest, DropsWrongLengthsOtherKeysAndPortRangesCountingThemReceived) {
    const std::array<std::uint8_t, kPacketSize> other_key = Packet{7, kKey - 1, 9, 0, 0}.encode();
    const std::array<std::uint8_t, kPacketSize> zero_key = Packet{7, 0, 9, 0, 0}.encode();
    const std::array<std::uint8_t, kPacketSize> other_key_with_range = Packet{7, kKey - 1, 9, 4000, 4009}.encode();
    // Another server's echo, or a forged one, carries that server's range in the port fields.
    const std::array<std::uint8_t, kPacketSize> echo = Packet{7, kKey, 9, 4000, 4009}.encode();
    const std::array<std::uint8_t, kPacketSize> low_port_only = Packet{7, kKey, 9, 1, 0}.encode();
    const std::array<std::uint8_t, kPacketSize> high_port_only = Packet{7, kKey, 9, 0, 0x8000}.encode();
    const std::vector<std::uint8_t> long_datagram(kPacketSize + 1, 0x11);
    const struct {
        std::string_view name;
        std::span<const std::uint8_t> bytes;
        DatagramAction action;
        std::uint64_t received_key;
        std::uint16_t port_lo;
        std::uint16_t port_hi;
        Counter counter;
    } cases[] = {
        {"empty", {}, DatagramAction::RejectSize, 0, 0, 0, &BouncerCounters::decode_error},
        {"27 bytes", std::span(other_key).first(kPacketSize - 1), DatagramAction::RejectSize, 0, 0, 0,
         &BouncerCounters::decode_error},
        {"29 bytes", long_datagram, DatagramAction::RejectSize, 0, 0, 0, &BouncerCounters::decode_error},
        {"key one less", other_key, DatagramAction::RejectKey, kKey - 1, 0, 0, &BouncerCounters::invalid_key},
        {"key 0", zero_key, DatagramAction::RejectKey, 0, 0, 0, &BouncerCounters::invalid_key},
        {"other key and a range", other_key_with_range, DatagramAction::RejectKey, kKey - 1, 0, 0,
         &BouncerCounters::invalid_key},
        {"an echo", echo, DatagramAction::RejectPortRange, 0, 4000, 4009, &BouncerCounters::invalid_key},
        {"low port only", low_port_only, DatagramAction::RejectPortRange, 0, 1, 0, &BouncerCounters::invalid_key},
        {"high port only", high_port_only, DatagramAction::RejectPortRange, 0, 0, 0x8000,
         &BouncerCounters::invalid_key},
    };
    PortReflector reflector(kKey, 1, 0);
    for (const auto& c : cases) {
        BouncerCounters counters;
        const DatagramVerdict verdict = reflector.handle_datagram(c.bytes, counters);
        EXPECT_EQ(verdict.action, c.action) << c.name;
        EXPECT_EQ(verdict.received_key, c.received_key) << c.name;
        EXPECT_EQ(verdict.port_lo, c.port_lo) << c.name;
        EXPECT_EQ(verdict.port_hi, c.port_hi) << c.name;
        EXPECT_TRUE(verdict.counter == c.counter) << c.name;
        EXPECT_EQ(read_counter(counters.pkts_rcvd), 1u) << c.name;
        EXPECT_EQ(read_counter(counters.decode_error) + read_counter(counters.invalid_key), 0u)
            << c.name << ": raised by the caller after the log line";
    }
}

TEST(SocketErrorRuleTest, EachClassAndDirectionHasItsLevelWordsAndCounter) {
    using enum SocketDirection;
    using enum SocketErrorClass;
    const struct {
        SocketDirection direction;
        SocketErrorClass error_class;
        logging::Level level;
        std::string_view description;
        Counter counter;
    } cases[] = {
        {Receive, PortUnreachable, logging::Level::Debug, "port unreachable", &BouncerCounters::icmp_port_unreachable},
        {Receive, HostUnreachable, logging::Level::Debug, "host unreachable", &BouncerCounters::icmp_host_unreachable},
        {Receive, NetworkUnreachable, logging::Level::Debug, "network unreachable",
         &BouncerCounters::icmp_network_unreachable},
        {Receive, Other, logging::Level::Error, "error", &BouncerCounters::recv_error},
        {Send, PortUnreachable, logging::Level::Debug, "port unreachable", &BouncerCounters::icmp_port_unreachable},
        {Send, HostUnreachable, logging::Level::Debug, "host unreachable", &BouncerCounters::icmp_host_unreachable},
        {Send, NetworkUnreachable, logging::Level::Debug, "network unreachable",
         &BouncerCounters::icmp_network_unreachable},
        {Send, Other, logging::Level::Error, "error", &BouncerCounters::send_error},
    };
    for (const auto& c : cases) {
        const SocketErrorRule rule = socket_error_rule(c.direction, c.error_class);
        const auto label = ::testing::Message() << operation_name(c.direction) << " " << c.description;
        EXPECT_EQ(rule.level, c.level) << label;
        EXPECT_EQ(rule.description, c.description) << label;
        EXPECT_TRUE(rule.counter == c.counter) << label;
    }
    EXPECT_EQ(operation_name(Receive), "recv_from()");
    EXPECT_EQ(operation_name(Send), "send_to()");
}

SenderAddress v6(std::array<unsigned, 8> groups, std::uint16_t port, std::uint32_t scope_id = 0) {
    SenderAddress address;
    address.is_v6 = true;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        address.bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        address.bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    address.scope_id = scope_id;
    address.port = port;
    return address;
}

TEST(SenderAddressTest, WrittenAsIpv4OrBracketedCompressedIpv6) {
    SenderAddress v4;
    v4.bytes = {192, 168, 0, 254};
    v4.port = 65535;
    const struct {
        SenderAddress address;
        std::string_view text;
    } cases[] = {
        {v4, "192.168.0.254:65535"},
        {v6({0, 0, 0, 0, 0, 0, 0, 1}, 5), "[::1]:5"},
        {v6({0, 0, 0, 0, 0, 0, 0, 0}, 0), "[::]:0"},
        {v6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 4000, 3), "[fe80::1%3]:4000"},
        {v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, 80), "[2001:db8::1:0:0:1]:80"},    // first of equal runs
        {v6({1, 0, 0, 2, 0, 0, 0, 3}, 80), "[1:0:0:2::3]:80"},                    // the longest run
        {v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}, 80), "[2001:db8:0:1:1:1:1:1]:80"},  // one zero group stays
        {v6({1, 0, 0, 0, 0, 0, 0, 0}, 1), "[1::]:1"},
        {v6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}, 9), "[::ffff:192.0.2.1]:9"},
        {v6({0xABCD, 0, 0, 0, 0, 0, 0, 0xFFFF}, 9), "[abcd::ffff]:9"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_sender_address(c.address), c.text);
}

}  // namespace

namespace bouncer_aggregator {
namespace {

TEST(TickPeriodTest, MillisecondsBecomeNanosecondsAndSaturate) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    constexpr std::uint64_t kLargestExact = kMax / 1'000'000;
    EXPECT_EQ(tick_period_ns(1000), 1'000'000'000u);
    EXPECT_EQ(tick_period_ns(kLargestExact), kLargestExact * 1'000'000);
    EXPECT_EQ(tick_period_ns(kLargestExact + 1), kMax);
    EXPECT_EQ(tick_period_ns(kMax), kMax);
}

const WallClock::time_point kNow = WallClock::time_point(std::chrono::seconds(1'700'000'000));

TEST(AggregatorStateTest, NoRecordMeansNoLineNoSummaryAndLosesNothing) {
    for (OutputMode mode : {OutputMode::Standard, OutputMode::Verbose, OutputMode::JSON}) {
        AggregatorState state("lab", mode);
        EXPECT_FALSE(state.interval_record(kNow)) << as_str(mode);
        EXPECT_FALSE(state.summary_record()) << as_str(mode);

        // Counted before it was registered: the first tick with the record shows everything since its start.
        auto record = std::make_shared<BouncerCounters>();
        for (int i = 0; i < 3; ++i) increment_counter(record->pkts_rcvd);
        increment_counter(record->decode_error);
        state.add_counters(record);
        const std::optional<BouncerOutput> line = state.interval_record(kNow);
        ASSERT_TRUE(line) << as_str(mode);
        EXPECT_EQ(line->pkts_rcvd, 3u);
        EXPECT_EQ(line->decode_error, 1u);
        EXPECT_EQ(line->timestamp, kNow);
        EXPECT_EQ(line->tag, "lab");
    }
}

TEST(AggregatorStateTest, TicksShowTheIncreaseAndTheSummaryTheTotalsSinceStart) {
    AggregatorState state(std::nullopt, OutputMode::Verbose);
    auto first = std::make_shared<BouncerCounters>();
    auto second = std::make_shared<BouncerCounters>();
    state.add_counters(first);
    EXPECT_EQ(state.interval_record(kNow)->pkts_rcvd, 0u);

    increment_counter(first->pkts_rcvd);
    increment_counter(first->pkts_sent);
    increment_counter(second->pkts_rcvd);
    state.add_counters(second);
    const BouncerOutput increase = *state.interval_record(kNow);
    EXPECT_EQ(increase.pkts_rcvd, 2u);
    EXPECT_EQ(increase.pkts_sent, 1u);
    EXPECT_FALSE(increase.tag);

    // After the last tick: only in the summary.
    increment_counter(second->invalid_key);
    const std::optional<BouncerOutput> summary = state.summary_record();
    ASSERT_TRUE(summary);
    EXPECT_FALSE(summary->timestamp);
    EXPECT_EQ(summary->pkts_rcvd, 2u);
    EXPECT_EQ(summary->pkts_sent, 1u);
    EXPECT_EQ(summary->invalid_key, 1u);
}

TEST(AggregatorStateTest, SummaryOfZerosInTextModesButNeverInJson) {
    for (OutputMode mode : {OutputMode::Standard, OutputMode::Verbose}) {
        AggregatorState state("t", mode);
        state.add_counters(std::make_shared<BouncerCounters>());
        BouncerOutput zeros;
        zeros.tag = "t";
        EXPECT_EQ(state.summary_record(), zeros) << as_str(mode);
    }
    AggregatorState json(std::nullopt, OutputMode::JSON);
    json.add_counters(std::make_shared<BouncerCounters>());
    EXPECT_TRUE(json.interval_record(kNow));
    EXPECT_FALSE(json.summary_record());
}

}  // namespace
}  // namespace bouncer_aggregator
}  // namespace brindlemoor
