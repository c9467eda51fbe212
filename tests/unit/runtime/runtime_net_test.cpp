// Address resolution, socket set-up and datagram I/O over real loopback sockets.
#include <gtest/gtest.h>

#include <net/if.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/error.hpp>

#include "runtime/datagram_socket.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "runtime_test_support.hpp"
#include "worker_loop.hpp"

namespace brindlemoor::runtime {
namespace {

TEST(ResolveTest, NumericAddressesAndHostNames) {
    run_task([](TaskId) -> Awaitable<void> {
        const auto loopback_v6 = boost::asio::ip::make_address_v6("::1");
        const struct {
            std::string text;
            Udp::endpoint expected;
        } cases[] = {
            {"127.0.0.1:4000", Udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 4000)},
            {"[::1]:5", Udp::endpoint(loopback_v6, 5)},
            // Not a numeric socket address: looked up, so an IPv6 address without brackets works too.
            {"::1:4000", Udp::endpoint(loopback_v6, 4000)},
            {"localhost:+80", Udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 80)},
        };
        for (const auto& c : cases) {
            auto resolved = co_await resolve(c.text);
            EXPECT_TRUE(resolved.has_value()) << c.text << ": " << (resolved.has_value() ? "" : resolved.error().message);
            if (!resolved.has_value()) continue;
            const auto& endpoints = resolved.value();
            EXPECT_NE(std::find(endpoints.begin(), endpoints.end(), c.expected), endpoints.end()) << c.text;
        }
        auto scoped = co_await resolve("[fe80::1%lo]:5");
        EXPECT_TRUE(scoped.has_value());
        if (scoped.has_value()) {
            EXPECT_EQ(scoped.value().at(0).address().to_v6().scope_id(), if_nametoindex("lo"));
        }
    });
}

TEST(ResolveTest, RefusedTextsCarryTheirMessages) {
    run_task([](TaskId) -> Awaitable<void> {
        const struct {
            std::string text;
            std::string message;
        } cases[] = {
            {"localhost", "invalid socket address"},
            {"localhost:65536", "invalid port value"},
            {"localhost:", "invalid port value"},
            {"[::1]", "invalid port value"},
            {std::string("local\0host:80", 13), "data provided contains a nul byte"},
            {":80", "failed to lookup address information: Name or service not known"},
        };
        for (const auto& c : cases) {
            auto resolved = co_await resolve(c.text);
            EXPECT_FALSE(resolved.has_value()) << c.text;
            if (!resolved.has_value()) {
                EXPECT_EQ(resolved.error().message, c.message) << c.text;
            }
        }
    });
}

TEST(SocketSetupTest, BindAndConnectFailuresReportTheOperatingSystemsError) {
    run_task([](TaskId) -> Awaitable<void> {
        auto first = co_await bind_udp("127.0.0.1:0");
        EXPECT_TRUE(first.has_value());
        auto second = co_await bind_udp(loopback_address(first.value()));
        EXPECT_FALSE(second.has_value());
        if (!second.has_value()) {
            EXPECT_EQ(second.error().code, boost::asio::error::address_in_use);
            EXPECT_EQ(second.error().message, second.error().code.message());
        }
        // The client's socket is IPv4: an IPv6 destination fails its connect.
        auto v6 = co_await connect_udp("[::1]:5");
        EXPECT_FALSE(v6.has_value());
        if (!v6.has_value()) {
            EXPECT_EQ(v6.error().code, boost::asio::error::address_family_not_supported);
        }
        auto unresolved = co_await connect_udp("localhost");
        EXPECT_FALSE(unresolved.has_value());
        if (!unresolved.has_value()) {
            EXPECT_EQ(unresolved.error().message, "invalid socket address");
        }
    });
}

TEST(DatagramTest, LongDatagramsAreReceiveErrorsOnConnectedAndUnconnectedSockets) {
    run_task([](TaskId) -> Awaitable<void> {
        auto server = co_await bind_udp("127.0.0.1:0");
        auto client = co_await connect_udp(loopback_address(server.value()));
        EXPECT_TRUE(server.has_value() && client.has_value());
        DatagramSocket& unconnected = server.value();
        DatagramSocket& connected = client.value();
        const Udp::endpoint client_address = connected.local_endpoint();
        const std::vector<std::uint8_t> bytes(1500, 0x5A);
        const auto marker = Packet{99, 1, 2, 3, 4}.encode();
        std::array<std::uint8_t, kPacketSize> buffer{};

        const struct {
            std::size_t length;
            bool too_long;
        } cases[] = {{0, false}, {27, false}, {28, false}, {29, true}, {1500, true}};
        for (const auto& c : cases) {
            const std::span<const std::uint8_t> datagram(bytes.data(), c.length);
            // Unconnected: receive_from, then the marker datagram after it arrives intact.
            co_await connected.send(datagram);
            co_await connected.send(marker);
            Udp::endpoint sender;
            const IoResult first = co_await unconnected.receive_from(buffer, sender);
            EXPECT_EQ(first.error == boost::asio::error::message_size, c.too_long) << c.length;
            EXPECT_EQ(first.length, c.too_long ? 0 : c.length) << c.length;
            EXPECT_EQ(sender, client_address);
            const IoResult after = co_await unconnected.receive_from(buffer, sender);
            EXPECT_EQ(after.length, kPacketSize);
            EXPECT_EQ(buffer, marker);

            // Connected: the fair wait's non-blocking receive.
            co_await unconnected.send_to(datagram, client_address);
            co_await unconnected.send_to(marker, client_address);
            for (bool expect_marker : {false, true}) {
                const auto event = co_await fair_wait(on_datagram(connected, buffer));
                const IoResult& received = std::get<0>(event);
                if (expect_marker) {
                    EXPECT_EQ(received.length, kPacketSize);
                    EXPECT_EQ(buffer, marker);
                } else {
                    EXPECT_EQ(received.error == boost::asio::error::message_size, c.too_long) << c.length;
                    EXPECT_EQ(received.length, c.too_long ? 0 : c.length) << c.length;
                }
            }
        }
    });
}

TEST(DatagramTest, AClosedPortIsReportedAsConnectionRefused) {
    run_task([](TaskId) -> Awaitable<void> {
        std::string closed_address;
        {
            auto placeholder = co_await bind_udp("127.0.0.1:0");
            closed_address = loopback_address(placeholder.value());
        }
        auto client = co_await connect_udp(closed_address);
        const auto probe = Packet{}.encode();
        EXPECT_FALSE((co_await client.value().send(probe)).error);
        std::array<std::uint8_t, kPacketSize> buffer{};
        const auto event = co_await fair_wait(on_datagram(client.value(), buffer));
        EXPECT_EQ(classify_socket_error(std::get<0>(event).error), SocketErrorClass::PortUnreachable);
    });
}

struct SocketEvents {
    int errors = 0;     // all of them port unreachable
    int datagrams = 0;
    bool more = false;  // another event came after the expected ones
};

// Takes `expected` events from the socket through the fair wait (giving up after seconds of silence), then looks
// whether one more follows.
Awaitable<SocketEvents> take_events(DatagramSocket& socket, int expected) {
    std::array<std::uint8_t, kPacketSize> buffer{};
    SocketEvents events;
    Interval silence(5'000'000'000);
    co_await silence.tick();
    while (events.errors + events.datagrams < expected) {
        const auto event = co_await fair_wait(on_datagram(socket, buffer), on_tick(silence));
        if (event.index() == 1) break;
        const IoResult& got = std::get<0>(event);
        if (got.error) {
            ++events.errors;
            EXPECT_EQ(classify_socket_error(got.error), SocketErrorClass::PortUnreachable) << got.error.message();
        } else {
            ++events.datagrams;
        }
    }
    Interval moment(50'000'000);
    co_await moment.tick();
    events.more = (co_await fair_wait(on_datagram(socket, buffer), on_tick(moment))).index() == 0;
    co_return events;
}

// Linux queues the ICMP error of each datagram and also leaves the latest as the socket's pending error, which
// fails the next send or receive. Each error must come out once, as a receive error, and no later send may fail
// for it (its datagram would be lost). On loopback the error is back before the send returns.
TEST(DatagramTest, EachErrorThatCameBackIsReceivedOnceAndFailsNoLaterSend) {
    static constexpr int kRefused = 20;
    run_task([](TaskId) -> Awaitable<void> {
        std::string closed_address;
        Udp::endpoint closed;
        {
            auto placeholder = co_await bind_udp("127.0.0.1:0");
            closed_address = loopback_address(placeholder.value());
            closed = placeholder.value().local_endpoint();
        }
        const auto datagram = Packet{}.encode();

        // A connected socket, as a session's.
        auto connected = co_await connect_udp(closed_address);
        for (int sent = 0; sent < kRefused; ++sent) {
            EXPECT_FALSE((co_await connected.value().send(datagram)).error) << sent;
        }
        const SocketEvents refused = co_await take_events(connected.value(), kRefused);
        EXPECT_EQ(refused.errors, kRefused);
        EXPECT_FALSE(refused.more);

        // An unconnected socket, as a server port's: the errors of one destination fail no datagram to another, and
        // the datagrams that come in are received beside them.
        auto server = co_await bind_udp("127.0.0.1:0");
        auto peer = co_await bind_udp("127.0.0.1:0");
        const Udp::endpoint peer_address = peer.value().local_endpoint();
        for (int sent = 0; sent < kRefused; ++sent) {
            EXPECT_FALSE((co_await server.value().send_to(datagram, closed)).error) << sent;
            EXPECT_FALSE((co_await server.value().send_to(datagram, peer_address)).error) << sent;
            EXPECT_FALSE((co_await peer.value().send_to(datagram, server.value().local_endpoint())).error) << sent;
        }
        const SocketEvents answered = co_await take_events(peer.value(), kRefused);
        EXPECT_EQ(answered.datagrams, kRefused);
        const SocketEvents mixed = co_await take_events(server.value(), 2 * kRefused);
        EXPECT_EQ(mixed.errors, kRefused);
        EXPECT_EQ(mixed.datagrams, kRefused);
        EXPECT_FALSE(mixed.more);

        // An error that epoll has not reported yet, right after a datagram was taken: the receive meets the
        // pending error first, and the queued entry behind it is what comes out, once. The tick is always due, so
        // the task does not wait for epoll in between.
        std::array<std::uint8_t, kPacketSize> buffer{};
        EXPECT_FALSE((co_await peer.value().send_to(datagram, server.value().local_endpoint())).error);
        EXPECT_FALSE(std::get<0>(co_await fair_wait(on_datagram(server.value(), buffer))).error);
        EXPECT_FALSE((co_await server.value().send_to(datagram, closed)).error);
        Interval always_due(1);
        int errors_at_once = 0;
        for (int turn = 0; turn < 30; ++turn) {
            const auto event = co_await fair_wait(on_datagram(server.value(), buffer), on_tick(always_due));
            if (event.index() == 0) ++errors_at_once;
        }
        EXPECT_EQ(errors_at_once, 1);
        EXPECT_FALSE((co_await take_events(server.value(), 0)).more);
    });
}

// A datagram or a socket error that the task does not take yet is reported once, not at every turn of the loop
// (that would keep the worker busy until the task reads), and it is still there when the task comes for it.
TEST(DatagramTest, WhatATaskDoesNotTakeYetNeitherKeepsTheWorkerBusyNorGetsLost) {
    const struct {
        std::string_view name;
        bool error;
    } cases[] = {{"a datagram", false}, {"a refused send", true}};
    for (const auto& c : cases) {
        run_task([&c](TaskId) -> Awaitable<void> {
            auto peer = co_await bind_udp("127.0.0.1:0");
            const std::string peer_address = loopback_address(peer.value());
            auto socket = co_await connect_udp(peer_address);
            const auto datagram = Packet{}.encode();
            if (c.error) {
                peer = co_await bind_udp("127.0.0.1:0");  // the old peer's port is closed now
                EXPECT_FALSE((co_await socket.value().send(datagram)).error);
            } else {
                EXPECT_FALSE((co_await peer.value().send_to(datagram, socket.value().local_endpoint())).error);
            }
            const std::uint64_t waits_before = detail::this_worker_loop->complete_waits();
            co_await sleep_for(100'000'000);
            EXPECT_LT(detail::this_worker_loop->complete_waits() - waits_before, 50U) << c.name;
            std::array<std::uint8_t, kPacketSize> buffer{};
            const IoResult taken = std::get<0>(co_await fair_wait(on_datagram(socket.value(), buffer)));
            EXPECT_EQ(taken.error.failed(), c.error) << c.name;
        });
    }
}

Awaitable<IoResult> receive_with_sender(DatagramSocket& socket, std::span<std::uint8_t, kPacketSize> buffer) {
    Udp::endpoint sender;
    co_return co_await socket.receive_from(buffer, sender);
}

Awaitable<IoResult> receive_in_fair_wait(DatagramSocket& socket, std::span<std::uint8_t, kPacketSize> buffer) {
    co_return std::get<0>(co_await fair_wait(on_datagram(socket, buffer)));
}

// A socket that always holds a datagram never makes its task wait for readiness, so the receive itself must give
// the worker to the other tasks now and then: else one flooded server port silences every other port of its
// worker. The flooded socket here sends itself a datagram for each one it takes, so it never drains.
TEST(DatagramTest, ATaskWhoseSocketNeverDrainsStillLetsTheOtherTasksOfItsWorkerRun) {
    using Receive = Awaitable<IoResult> (*)(DatagramSocket&, std::span<std::uint8_t, kPacketSize>);
    const struct {
        std::string_view name;
        Receive receive;
    } cases[] = {{"receive_from", receive_with_sender}, {"fair_wait", receive_in_fair_wait}};
    for (const auto& c : cases) {
        Runtime runtime(1);  // every task on one worker
        const JoinOutcome outcome = spawn([&c](TaskId) -> Awaitable<void> {
            auto flooded = co_await bind_udp("127.0.0.1:0");
            auto quiet = co_await bind_udp("127.0.0.1:0");
            EXPECT_TRUE(flooded.has_value() && quiet.has_value());
            constexpr std::uint64_t kBound = 100'000;
            std::uint64_t received = 0;
            std::uint64_t received_when_quiet_took_its_datagram = 0;
            const JoinHandle listener = spawn([&](TaskId) -> Awaitable<void> {
                std::array<std::uint8_t, kPacketSize> buffer{};
                EXPECT_FALSE((co_await c.receive(quiet.value(), buffer)).error);
                received_when_quiet_took_its_datagram = received;
            });
            co_await yield_now();  // the listener waits for its socket from now on

            const auto datagram = Packet{}.encode();
            const Udp::endpoint flooded_address = flooded.value().local_endpoint();
            for (int queued = 0; queued < 8; ++queued) co_await flooded.value().send_to(datagram, flooded_address);
            std::array<std::uint8_t, kPacketSize> buffer{};
            while (received_when_quiet_took_its_datagram == 0 && received < kBound) {
                EXPECT_FALSE((co_await c.receive(flooded.value(), buffer)).error);
                ++received;
                co_await flooded.value().send_to(datagram, flooded_address);
                if (received == 100) co_await flooded.value().send_to(datagram, quiet.value().local_endpoint());
            }
            // Waiting here lets the listener run in any case, so that it ends before its socket goes.
            expect_returned(co_await listener.join());
            EXPECT_GE(received_when_quiet_took_its_datagram, 100U) << c.name;
            EXPECT_LT(received_when_quiet_took_its_datagram, kBound) << c.name << ": the flooded task never yielded";
        }).join_blocking();
        expect_returned(outcome);
    }
}

}  // namespace
}  // namespace brindlemoor::runtime
