// Waiting inside tasks: the fair wait, the channel, the periodic timer and Ctrl+C, on a real runtime.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/channel.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/datagram_socket.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "runtime_test_support.hpp"

namespace brindlemoor::runtime {
namespace {

using namespace std::chrono_literals;

// A branch that is always ready, for measuring who wins first place.
struct AlwaysReady {
    using value_type = int;
    int value;
    Attempt<int> try_take() { return {value, false}; }
    void subscribe(std::optional<detail::WaiterRegistration>&, detail::Wakeable&) {}
};

TEST(FairWaitTest, ReadyBranchesWinFirstPlaceEvenly) {
    run_task([](TaskId) -> Awaitable<void> {
        constexpr int kTurns = 4000;
        int first = 0;
        for (int turn = 0; turn < kTurns; ++turn) {
            const auto event = co_await fair_wait(AlwaysReady{0}, AlwaysReady{1});
            if (event.index() == 0) ++first;
        }
        // Expected 2000 with a standard deviation of about 32: this bound fails only for a biased draw.
        EXPECT_GT(first, kTurns * 4 / 10);
        EXPECT_LT(first, kTurns * 6 / 10);
    });
}

TEST(FairWaitTest, DatagramsQueuedWhileAnotherBranchWinsAreReceivedLater) {
    run_task([](TaskId) -> Awaitable<void> {
        auto server = co_await bind_udp("127.0.0.1:0");
        auto client = co_await connect_udp(loopback_address(server.value()));
        constexpr std::uint64_t kDatagrams = 20;
        for (std::uint64_t seq = 1; seq <= kDatagrams; ++seq) {
            const auto bytes = Packet{seq, 7, 9, 0, 0}.encode();
            EXPECT_FALSE((co_await client.value().send(bytes)).error);
        }
        Interval always_due(1);  // every poll finds a tick due
        std::array<std::uint8_t, kPacketSize> buffer{};
        std::uint64_t next = 1;
        int ticks = 0;
        for (int turn = 0; turn < 10'000 && next <= kDatagrams; ++turn) {
            const auto event = co_await fair_wait(on_tick(always_due), on_datagram(server.value(), buffer));
            if (event.index() == 0) {
                ++ticks;
                continue;
            }
            const IoResult& received = std::get<1>(event);
            EXPECT_FALSE(received.error) << received.error.message();
            EXPECT_EQ(received.length, kPacketSize);
            EXPECT_EQ(Packet::decode(buffer), (Packet{next, 7, 9, 0, 0}));
            ++next;
        }
        EXPECT_EQ(next, kDatagrams + 1);
        EXPECT_GT(ticks, 0);  // none in 20+ fair draws has a chance of 2^-20
    });
}

TEST(FairWaitTest, ADatagramArrivingWhileAnotherBranchAlwaysWinsIsStillTaken) {
    run_task([](TaskId) -> Awaitable<void> {
        auto server = co_await bind_udp("127.0.0.1:0");
        auto client = co_await connect_udp(loopback_address(server.value()));
        Interval always_due(1);
        std::array<std::uint8_t, kPacketSize> buffer{};
        const auto marker = Packet{5, 6, 7, 0, 0}.encode();
        // The socket has been found empty many times when the datagram comes; the task never has to wait, so
        // nothing but the socket's own readiness can bring the datagram to its attention.
        bool received = false;
        for (int turn = 0; turn < 100'000 && !received; ++turn) {
            if (turn == 200) {
                EXPECT_FALSE((co_await client.value().send(marker)).error);
            }
            const auto event = co_await fair_wait(on_tick(always_due), on_datagram(server.value(), buffer));
            if (event.index() == 1) {
                received = true;
                EXPECT_GE(turn, 200);
                EXPECT_EQ(std::get<1>(event).length, kPacketSize);
                EXPECT_EQ(buffer, marker);
            }
        }
        EXPECT_TRUE(received);
    });
}

TEST(FairWaitTest, TimersAndSocketsStayAwakeAcrossTheTurnsTheyLose) {
    run_task([](TaskId) -> Awaitable<void> {
        auto server = co_await bind_udp("127.0.0.1:0");
        const std::string server_address = loopback_address(server.value());
        constexpr int kDatagrams = 20;
        JoinHandle producer = spawn([address = server_address](TaskId) -> Awaitable<void> {
            auto socket = co_await connect_udp(address);
            for (std::uint64_t seq = 1; seq <= kDatagrams; ++seq) {
                co_await sleep_for(700'000);
                const auto bytes = Packet{seq, 1, 2, 0, 0}.encode();
                co_await socket.value().send(bytes);
            }
        });
        // Ends a loop whose wake-ups have stopped, through a plain timer and a channel.
        auto timeout = make_channel<int>(1);
        spawn([sender = timeout->sender](TaskId) -> Awaitable<void> {
            co_await sleep_for(10'000'000'000);
            co_await sender.send(0);
        });
        Interval ticker(1'000'000);
        std::array<std::uint8_t, kPacketSize> buffer{};
        // Each source wins some turns and loses others while its wait stays armed; the ticks go on after the
        // last datagram, when only the timer wakes the task.
        int ticks = 0;
        std::uint64_t next = 1;
        while (next <= kDatagrams || ticks < 2 * kDatagrams) {
            const auto event = co_await fair_wait(on_tick(ticker), on_datagram(server.value(), buffer),
                                                  on_message(timeout->receiver));
            if (event.index() == 2) break;
            if (event.index() == 0) ++ticks;
            if (event.index() == 1) {
                EXPECT_EQ(Packet::decode(buffer).value().seq, next++);
            }
        }
        EXPECT_EQ(next, kDatagrams + 1U);
        EXPECT_GE(ticks, 2 * kDatagrams);
        EXPECT_TRUE((co_await producer.join()).returned());
    });
}

TEST(FairWaitTest, MessagesSurviveTurnsLostToOtherBranchesAndClosedChannelsAreSkipped) {
    run_task([](TaskId) -> Awaitable<void> {
        auto channel = make_channel<int>(8);
        for (int i = 0; i < 8; ++i) co_await channel->sender.send(i);
        { auto sender = std::move(channel->sender); }  // last sender gone: closed once drained
        Interval always_due(1);
        int expected = 0;
        int ticks = 0;
        for (int turn = 0; turn < 10'000 && ticks < 100; ++turn) {
            const auto event = co_await fair_wait(on_message(channel->receiver), on_tick(always_due));
            if (event.index() == 1) {
                ++ticks;
            } else {
                EXPECT_EQ(std::get<0>(event), expected++);
            }
        }
        EXPECT_EQ(expected, 8);
        EXPECT_EQ(ticks, 100);
        EXPECT_TRUE(channel->receiver.try_receive().closed);
        bool refused = false;
        try {
            co_await fair_wait(on_message(channel->receiver));
        } catch (const std::logic_error&) {
            refused = true;
        }
        EXPECT_TRUE(refused);
    });
}

TEST(FairWaitTest, WakesForEventsThatArriveWhileItWaits) {
    run_task([](TaskId) -> Awaitable<void> {
        auto channel = make_channel<int>(1);
        auto server = co_await bind_udp("127.0.0.1:0");
        const std::string server_address = loopback_address(server.value());
        Interval slow(20'000'000);
        co_await slow.tick();
        std::array<std::uint8_t, kPacketSize> buffer{};

        // Nothing is ready when each wait starts: another task delivers a message, then a datagram; the
        // timer's next deadline comes last.
        JoinHandle producer = spawn([sender = channel->sender, address = server_address](TaskId) -> Awaitable<void> {
            co_await sleep_for(2'000'000);
            co_await sender.send(5);
            co_await sleep_for(2'000'000);
            auto socket = co_await connect_udp(address);
            const auto bytes = Packet{1, 2, 3, 0, 0}.encode();
            co_await socket.value().send(bytes);
        });
        bool got_message = false;
        bool got_datagram = false;
        bool got_tick = false;
        while (!(got_message && got_datagram && got_tick)) {
            const auto event =
                co_await fair_wait(on_message(channel->receiver), on_datagram(server.value(), buffer), on_tick(slow));
            if (event.index() == 0) got_message = std::get<0>(event) == 5;
            if (event.index() == 1) got_datagram = !std::get<1>(event).error;
            if (event.index() == 2) got_tick = true;
        }
        EXPECT_TRUE((co_await producer.join()).returned());
    });
}

TEST(FairWaitTest, TheEarlierOfTwoTimersEndsTheWait) {
    run_task([](TaskId) -> Awaitable<void> {
        Interval hourly(3'600'000'000'000);
        Interval fast(2'000'000);
        co_await hourly.tick();
        co_await fast.tick();
        for (int turn = 0; turn < 3; ++turn) {
            const auto event = co_await fair_wait(on_tick(hourly), on_tick(fast));
            EXPECT_EQ(event.index(), 1U);
        }
    });
}

TEST(ChannelTest, RefusesCapacityZero) { EXPECT_FALSE(make_channel<int>(0)); }

TEST(ChannelTest, FullChannelHoldsBackTheSenderUntilRoomAppears) {
    run_task([](TaskId) -> Awaitable<void> {
        auto channel = make_channel<int>(2);
        auto placed = std::make_shared<std::atomic<int>>(0);
        JoinHandle producer = spawn([sender = channel->sender, placed](TaskId) -> Awaitable<void> {
            for (int i = 0; i < 5; ++i) {
                co_await sender.send(i);
                placed->store(i + 1);
            }
        });
        while (placed->load() < 2) co_await sleep_for(100'000);
        // Full: however long we wait, the third send cannot complete before a receive.
        co_await sleep_for(20'000'000);
        EXPECT_EQ(placed->load(), 2);
        for (int expected = 0; expected < 5; ++expected) EXPECT_EQ(co_await channel->receiver.receive(), expected);
        EXPECT_TRUE((co_await producer.join()).returned());
        EXPECT_EQ(placed->load(), 5);
    });
}

TEST(ChannelTest, EveryWaitingSenderIsWoken) {
    run_task([](TaskId) -> Awaitable<void> {
        auto channel = make_channel<int>(1);
        constexpr int kSenders = 40;
        std::vector<JoinHandle> senders;
        for (int i = 0; i < kSenders; ++i) {
            senders.push_back(spawn([sender = channel->sender, i](TaskId) -> Awaitable<void> {
                for (int k = 0; k < 10; ++k) co_await sender.send(i);
            }));
        }
        { auto drop = std::move(channel->sender); }
        std::vector<int> counts(kSenders, 0);
        while (auto value = co_await channel->receiver.receive()) ++counts[static_cast<std::size_t>(*value)];
        // The loop ends only when every sender has finished and the channel closed: nothing was lost or stuck.
        for (int count : counts) EXPECT_EQ(count, 10);
        for (auto& handle : senders) EXPECT_TRUE((co_await handle.join()).returned());
    });
}

TEST(ChannelTest, ClosesWhenTheLastSenderGoesAndDropsSendsAfterTheReceiverWent) {
    run_task([](TaskId) -> Awaitable<void> {
        auto channel = make_channel<std::shared_ptr<int>>(1);
        Sender<std::shared_ptr<int>> copy = channel->sender;
        co_await copy.send(std::make_shared<int>(1));
        { auto original = std::move(channel->sender); }  // a copy is still alive: the channel stays open
        auto value = std::make_shared<int>(2);
        JoinHandle blocked = spawn([copy, value](TaskId) -> Awaitable<void> { co_await copy.send(value); });
        { auto drop = std::move(copy); }
        EXPECT_EQ(*(co_await channel->receiver.receive()).value(), 1);
        EXPECT_EQ(*(co_await channel->receiver.receive()).value(), 2);
        EXPECT_TRUE((co_await blocked.join()).returned());
        EXPECT_FALSE(co_await channel->receiver.receive());
        EXPECT_TRUE(channel->receiver.try_receive().closed);

        // A sender waiting on a full channel, and any later send, return once the receiver is gone.
        auto second = make_channel<std::shared_ptr<int>>(1);
        co_await second->sender.send(value);
        JoinHandle waiting = spawn([sender = second->sender, value](TaskId) -> Awaitable<void> {
            co_await sender.send(value);
            co_await sender.send(value);
        });
        co_await sleep_for(5'000'000);
        { auto receiver = std::move(second->receiver); }
        EXPECT_TRUE((co_await waiting.join()).returned());
        co_await second->sender.send(value);
        EXPECT_EQ(value.use_count(), 1);  // every dropped message released its hold
    });
}

TEST(IntervalTest, BurstCatchesUpAndSkipJumpsAfterAStall) {
    run_task([](TaskId) -> Awaitable<void> {
        constexpr std::uint64_t kPeriodNs = 10'000'000;
        const auto period = std::chrono::nanoseconds(kPeriodNs);
        std::optional<Interval> burst;
        std::optional<Interval> skip;
        SteadyClock::time_point burst_start;
        SteadyClock::time_point skip_start;
        // The first ticks must be taken in time, else they are missed themselves: on a loaded machine the test
        // starts again, a bounded number of times.
        for (int attempt = 0; attempt < 20; ++attempt) {
            burst.emplace(kPeriodNs);
            skip.emplace(kPeriodNs, MissedTickBehavior::Skip);
            burst_start = co_await burst->tick();
            skip_start = co_await skip->tick();
            if (burst->deadline() == burst_start + period && skip->deadline() == skip_start + period) break;
        }
        EXPECT_EQ(skip->deadline(), skip_start + period);
        if (skip->deadline() != skip_start + period) co_return;
        std::this_thread::sleep_for(35ms);  // a stall of three and a half periods

        // Burst: the three missed ticks are due at once, on the grid.
        for (int k = 1; k <= 3; ++k) {
            const auto tick = burst->try_tick();
            EXPECT_EQ(tick.value_or(SteadyClock::time_point{}), burst_start + k * period);
        }
        // Skip: one late tick, then the next deadline is a grid point after the stall.
        const auto late = skip->try_tick();
        EXPECT_TRUE(late && *late == skip_start + period);
        const auto next = skip->deadline() - skip_start;
        EXPECT_GE(next, 4 * period);
        EXPECT_EQ(next % period, std::chrono::nanoseconds(0));
        EXPECT_EQ(co_await skip->tick(), skip_start + next);
    });
}

TEST(IntervalTest, RefusesAZeroPeriod) { EXPECT_THROW(Interval(0), std::invalid_argument); }

TEST(CtrlCTest, APressWhileTheTaskIsBusyIsTakenOnTheNextTurn) {
    run_task([](TaskId) -> Awaitable<void> {
        CtrlC& notice = ctrl_c();
        Interval quiet(3'600'000'000'000);
        co_await quiet.tick();
        // The press arrives while the task runs without waiting; the process must survive it.
        std::raise(SIGINT);
        std::this_thread::sleep_for(10ms);
        const auto event = co_await fair_wait(on_tick(quiet), on_ctrl_c(notice));
        EXPECT_EQ(event.index(), 1U);
        EXPECT_FALSE(notice.try_take());
        // A press while the task waits wakes it.
        std::thread presser([] {
            std::this_thread::sleep_for(5ms);
            std::raise(SIGINT);
        });
        const auto second = co_await fair_wait(on_ctrl_c(notice), on_tick(quiet));
        presser.join();
        EXPECT_EQ(second.index(), 0U);
    });
}

}  // namespace
}  // namespace brindlemoor::runtime
