#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "runtime/resolve.hpp"
#include "runtime/wait.hpp"
#include "shared/packet.hpp"

// UDP sockets for the probe, the sessions and the port tasks: set-up, datagram I/O, and the errors that the kernel
// reports for a socket.
namespace brindlemoor::runtime {

// The outcome of one datagram receive or send: the byte count, or the error. A datagram longer than
// kPacketSize is the error boost::asio::error::message_size (its bytes are dropped); shorter ones come with
// their true length. A failed receive or send never reports would-block: the helpers wait instead.
struct IoResult {
    std::size_t length = 0;
    boost::system::error_code error;
};

namespace detail {

// How receive_from takes the next datagram. A receive that finds nothing queued costs a system call; a wait costs
// none of its own, but a datagram that is queued already then comes through the worker's epoll_wait. So: a socket
// that keeps having datagrams queued (a flood) is received from at once, one whose datagrams come one at a time
// is waited for first, and such a socket tries a receive at once again now and then.
class ReceiveChoice {
public:
    static constexpr unsigned kWaitsBeforeRetry = 64;

    bool try_at_once() const noexcept { return streak_ || waits_ >= kWaitsBeforeRetry; }
    void taken_at_once() noexcept { streak_ = true; }
    void found_empty() noexcept {
        streak_ = false;
        waits_ = 0;
    }
    void waited() noexcept { ++waits_; }

private:
    bool streak_ = false;
    unsigned waits_ = 0;
};

}  // namespace detail

// A UDP socket in non-blocking mode, in the epoll set of the worker whose task made it; only tasks of that worker
// may use it (the task that made it stays there).
//
// Its errors: Linux tells a socket of the ICMP errors that come back for its datagrams (port, host and network
// unreachable among them) only when it asks with IP_RECVERR (IPV6_RECVERR), which every socket here does. Each
// such error then waits in the socket's error queue, and the receives below hand them out one per call, before
// datagrams. The kernel also leaves the latest as the socket's pending error, which the next receive or send
// returns once: a receive takes the queued entry in its place, and a send that failed only for it is made again,
// so every error is reported exactly once, as a receive error, and no datagram is lost for an earlier one's error.
class DatagramSocket {
public:
    DatagramSocket(DatagramSocket&&) noexcept = default;
    DatagramSocket& operator=(DatagramSocket&&) noexcept = default;

    // The next datagram with its sender, or the next error queued for the socket, waiting while there is neither.
    // After a run of datagrams taken without waiting it lets the worker's other tasks run, so a flooded port cannot
    // starve them.
    Awaitable<IoResult> receive_from(std::span<std::uint8_t, kPacketSize> buffer, Udp::endpoint& sender);

    // Sends one datagram to the connected peer / to `destination`, waiting while the socket cannot take it. A failure
    // is the datagram's own, unless earlier datagrams' errors keep arriving between its attempts: then it gives up
    // and reports one of those (taken from the queue, so that it is reported once).
    Awaitable<IoResult> send(std::span<const std::uint8_t> datagram);
    Awaitable<IoResult> send_to(std::span<const std::uint8_t> datagram, const Udp::endpoint& destination);

    // The bound address; a default endpoint when the system cannot tell.
    Udp::endpoint local_endpoint() const;

    // The fair wait's non-blocking attempt: the next queued error, or one datagram from the connected peer if one is
    // queued, otherwise the error would_block (the only helper that reports it). After a would-block the socket is
    // not tried again until the worker's epoll set reports it readable.
    IoResult receive_if_readable(std::span<std::uint8_t, kPacketSize> buffer);
    // Idle while the last attempt found the socket empty and epoll has not reported it readable since; decided by
    // waiting after a datagram was taken and before epoll said more (epoll reports a queued datagram at once).
    BranchHint readable_hint() const noexcept;

    // Fair-wait hook: wakes the waiter once epoll reports the socket readable (a datagram or an error).
    void subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter);

private:
    class Descriptor;
    struct ReadableBranch;
    struct WritableBranch;
    struct Close {
        void operator()(Descriptor* descriptor) const noexcept;
    };

    friend SetupResult<DatagramSocket> make_datagram_socket(int fd);
    explicit DatagramSocket(std::unique_ptr<Descriptor, Close> descriptor) noexcept;
    bool known_empty() const noexcept;
    // Calls `send_call()` (one non-blocking send, yielding the byte count or -1 with errno set) until the socket
    // takes the datagram or fails otherwise than with would-block or an earlier datagram's error.
    template <typename SendCall>
    Awaitable<IoResult> send_when_writable(SendCall send_call);

    std::unique_ptr<Descriptor, Close> descriptor_;
    detail::ReceiveChoice receive_choice_;
};

// Resolves the text and binds a new UDP socket to each address in order; the first bind that succeeds wins,
// otherwise the last bind's error. The socket's family follows the address; its one option asks for the ICMP
// errors (see DatagramSocket).
Awaitable<SetupResult<DatagramSocket>> bind_udp(std::string address_text);

// Binds a new IPv4 socket to 0.0.0.0:0, resolves the text and connects to each address in order; the first
// connect that succeeds wins. Errors: the bind's, the resolution's, or the last connect's (an IPv6 address
// fails like any other connect).
Awaitable<SetupResult<DatagramSocket>> connect_udp(std::string address_text);

// Fair-wait branch: one datagram from a connected socket into `buffer`, valued with the receive's outcome
// (length or error). Not ready while nothing is queued; the datagram stays in the socket until a turn takes it.
struct DatagramBranch {
    using value_type = IoResult;
    DatagramSocket* socket;
    std::span<std::uint8_t, kPacketSize> buffer;

    Attempt<IoResult> try_take();
    BranchHint hint() const noexcept { return socket->readable_hint(); }
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        socket->subscribe_readable(slot, waiter);
    }
};
inline DatagramBranch on_datagram(DatagramSocket& socket, std::span<std::uint8_t, kPacketSize> buffer) {
    return DatagramBranch{&socket, buffer};
}

}  // namespace brindlemoor::runtime

namespace brindlemoor::runtime {

// A socket error as log lines show it, by its description. The text is made only when a line is written: the
// per-datagram error lines are mostly filtered out, and counting must not pay for a text nobody reads.
struct ErrorText {
    const boost::system::error_code* error;
};

}  // namespace brindlemoor::runtime

template <>
struct fmt::formatter<brindlemoor::runtime::ErrorText> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const brindlemoor::runtime::ErrorText& text, FormatContext& context) const {
        return fmt::formatter<std::string_view>::format(text.error->message(), context);
    }
};
