#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "bouncer_counters.hpp"

using namespace brindlemoor;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const WallClock::time_point kFirstRead = WallClock::time_point(std::chrono::seconds(1'700'000'000));
const WallClock::time_point kSecondRead = kFirstRead + std::chrono::seconds(1);

void increment_times(BouncerCounters::Counter& counter, int times) {
    for (int i = 0; i < times; ++i) increment_counter(counter);
}

}  // namespace

TEST(BouncerCounters, NewRecordSumsToZero) {
    const std::vector<SharedBouncerCounters> records{std::make_shared<BouncerCounters>()};
    BouncerOutput totals;
    EXPECT_EQ(sum_counters(records, totals, kFirstRead), BouncerOutput{.timestamp = kFirstRead});
    EXPECT_EQ(totals, BouncerOutput{});
}

TEST(BouncerCounters, EachCounterSumsIntoItsOwnField) {
    const auto record = std::make_shared<BouncerCounters>();
    increment_times(record->pkts_rcvd, 1);
    increment_times(record->pkts_sent, 2);
    increment_times(record->invalid_key, 3);
    increment_times(record->decode_error, 4);
    increment_times(record->recv_error, 5);
    increment_times(record->send_error, 6);
    increment_times(record->icmp_port_unreachable, 7);
    increment_times(record->icmp_host_unreachable, 8);
    increment_times(record->icmp_network_unreachable, 9);

    const std::vector<SharedBouncerCounters> records{record};
    BouncerOutput totals;
    const BouncerOutput expected_totals{.pkts_rcvd = 1, .pkts_sent = 2, .invalid_key = 3, .decode_error = 4,
                                        .recv_error = 5, .send_error = 6, .icmp_port_unreachable = 7,
                                        .icmp_host_unreachable = 8, .icmp_network_unreachable = 9};
    BouncerOutput expected_increase = expected_totals;
    expected_increase.timestamp = kFirstRead;
    EXPECT_EQ(sum_counters(records, totals, kFirstRead), expected_increase);
    EXPECT_EQ(totals, expected_totals);
}

TEST(BouncerCounters, IncreaseSincePreviousCallIncludesRecordsThatArrivedBetween) {
    const auto first_port = std::make_shared<BouncerCounters>();
    const auto second_port = std::make_shared<BouncerCounters>();
    std::vector<SharedBouncerCounters> records{first_port};
    increment_times(first_port->pkts_rcvd, 5);
    increment_times(first_port->pkts_sent, 4);
    increment_times(second_port->pkts_rcvd, 7);  // counted before it was registered

    BouncerOutput totals;
    EXPECT_EQ(sum_counters(records, totals, kFirstRead),
              (BouncerOutput{.timestamp = kFirstRead, .pkts_rcvd = 5, .pkts_sent = 4}));
    EXPECT_EQ(totals, (BouncerOutput{.pkts_rcvd = 5, .pkts_sent = 4}));

    records.push_back(second_port);
    increment_times(first_port->pkts_rcvd, 2);
    increment_times(second_port->decode_error, 1);
    totals.tag = "lab";
    EXPECT_EQ(sum_counters(records, totals, kSecondRead),
              (BouncerOutput{.timestamp = kSecondRead, .pkts_rcvd = 9, .decode_error = 1}));
    EXPECT_EQ(totals, (BouncerOutput{.pkts_rcvd = 14, .pkts_sent = 4, .decode_error = 1}));
}

TEST(BouncerCounters, CountersAndSumsWrapAt64Bits) {
    BouncerCounters lone;
    lone.send_error.store(kMax);
    increment_counter(lone.send_error);
    EXPECT_EQ(read_counter(lone.send_error), 0u);

    const auto near_end = std::make_shared<BouncerCounters>();
    near_end->pkts_rcvd.store(kMax - 1);
    const auto half_a = std::make_shared<BouncerCounters>();
    const auto half_b = std::make_shared<BouncerCounters>();
    half_a->pkts_sent.store(std::uint64_t{1} << 63);
    half_b->pkts_sent.store((std::uint64_t{1} << 63) + 1);
    const std::vector<SharedBouncerCounters> records{near_end, half_a, half_b};

    BouncerOutput totals;
    EXPECT_EQ(sum_counters(records, totals, kFirstRead).pkts_sent, 1u);
    increment_times(near_end->pkts_rcvd, 3);  // kMax - 1 -> 1
    EXPECT_EQ(sum_counters(records, totals, kSecondRead).pkts_rcvd, 3u);
    EXPECT_EQ(totals.pkts_rcvd, 1u);
}

TEST(BouncerCounters, ConcurrentIncrementsAreNeverLost) {
    constexpr int kPerWriter = 200'000;
    BouncerCounters record;
    std::atomic<int> writers_left{2};

    const auto writer = [&] {
        increment_times(record.pkts_rcvd, kPerWriter);
        writers_left.fetch_sub(1);
    };
    std::uint64_t readings_out_of_order = 0;
    std::thread reader([&] {
        std::uint64_t previous = 0;
        while (writers_left.load() > 0) {
            const std::uint64_t now = read_counter(record.pkts_rcvd);
            if (now < previous || now > 2 * kPerWriter) ++readings_out_of_order;
            previous = now;
        }
    });
    std::thread first(writer);
    std::thread second(writer);
    first.join();
    second.join();
    reader.join();

    EXPECT_EQ(readings_out_of_order, 0u);
    EXPECT_EQ(read_counter(record.pkts_rcvd), std::uint64_t{2} * kPerWriter);
}
