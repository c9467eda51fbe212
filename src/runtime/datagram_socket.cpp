#include "runtime/datagram_socket.hpp"

#include <linux/errqueue.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <boost/asio/error.hpp>

#include "worker_loop.hpp"

namespace brindlemoor::runtime {
namespace {

namespace asio_error = boost::asio::error;

bool would_block(const boost::system::error_code& error) {
    return error == asio_error::would_block || error == asio_error::try_again;
}

boost::system::error_code system_error_code(int code) { return {code, boost::asio::error::get_system_category()}; }

boost::system::error_code last_error() { return system_error_code(errno); }

// A receive asks for the datagram's true length (MSG_TRUNC): one longer than a packet becomes message_size
// instead of a wrong 28-byte datagram (its bytes are dropped with it).
IoResult receive_result(ssize_t length) {
    if (length < 0) return IoResult{0, last_error()};
    if (static_cast<std::size_t>(length) > kPacketSize) return IoResult{0, asio_error::message_size};
    return IoResult{static_cast<std::size_t>(length), {}};
}

// The errors that an ICMP or ICMPv6 message can leave as a UDP socket's pending error: Linux's conversions of
// their types and codes (port unreachable is "connection refused", time exceeded "host unreachable", ...).
bool may_be_pending_icmp_error(int code) noexcept {
    switch (code) {
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENONET:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
        case EMSGSIZE:
        case EPROTO:
        case EACCES: return true;
        default: return false;
    }
}

// How often a send is made while it fails for the socket's pending error.
constexpr int kSendAttempts = 3;

// Takes the oldest entry of the socket's error queue; its error, or nullopt when the queue is empty. Taking the
// last ICMP entry also clears the socket's pending error.
std::optional<boost::system::error_code> take_queued_error(int fd) noexcept {
    // Entries of other kinds than errors are not asked for; the bound only keeps the loop finite.
    for (int entry = 0; entry < 16; ++entry) {
        alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in6))>
            control{};
        msghdr message{};
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            const bool error = (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_RECVERR) ||
                               (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_RECVERR);
            if (!error || header->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) continue;
            sock_extended_err extended{};
            std::memcpy(&extended, CMSG_DATA(header), sizeof extended);
            if (extended.ee_errno != 0) return system_error_code(static_cast<int>(extended.ee_errno));
        }
    }
    return std::nullopt;
}

// Whether the socket's receive buffer has no room left for an error queue entry (one is a few hundred bytes to a
// few KiB of buffer): the kernel then drops the entry but still sets the pending error.
bool no_room_for_queued_errors(int fd) noexcept {
    constexpr std::uint32_t kEntryRoom = 4096;
    std::array<std::uint32_t, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) < 0) return false;
    return memory[SK_MEMINFO_RMEM_ALLOC] + kEntryRoom >= memory[SK_MEMINFO_RCVBUF];
}

// Closes a descriptor that set-up has not handed over yet.
class ScopedFd {
public:
    explicit ScopedFd(int fd) noexcept : fd_(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
    ScopedFd& operator=(ScopedFd&&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A new non-blocking UDP socket that asks for the ICMP errors of its datagrams: without IP_RECVERR, Linux drops
// host and network unreachable for a connected socket and every ICMP error for an unconnected one. An IPv6
// socket also carries IPv4 datagrams (as mapped addresses), whose errors follow the IPv4 option.
SetupResult<ScopedFd> open_socket(int family) {
    ScopedFd socket(::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) return os_error(last_error());
    const int on = 1;
    if (family == AF_INET6 && ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) < 0) {
        return os_error(last_error());
    }
    if (::setsockopt(socket.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on) < 0) return os_error(last_error());
    return SetupResult<ScopedFd>(boost::system::in_place_value, std::move(socket));
}

}  // namespace

// The socket's descriptor and what its worker's epoll set said about it. Registered once, level-triggered for
// reading: a wait costs no system call, and epoll reports at once a datagram that is queued already. When
// readability is reported while the task waits for something else, the registration turns edge-triggered until
// the task waits for a datagram again, so a datagram (or an error) that nobody takes yet is not reported over
// and over. Only the worker thread touches it.
class DatagramSocket::Descriptor final : public detail::EventSource {
public:
    enum class Readable { Unknown, Reported, Empty };

    Descriptor(int fd, detail::WorkerLoop& loop) : fd_(fd), loop_(loop), read_at_wait_(loop.complete_waits()) {
        loop_.update_watch(fd_, 0, kReading, *this);
        watched_ = kReading;
    }

    int fd() const noexcept { return fd_; }

    Readable readable() const noexcept {
        if (errors_queued_) return Readable::Reported;
        // A complete wait since the last receive that did not report the socket saw it empty.
        const bool seen_empty = readable_ == Readable::Unknown && (watched_ & EPOLLET) == 0 &&
                                loop_.complete_waits() != read_at_wait_;
        return seen_empty ? Readable::Empty : readable_;
    }

    // The next queued error, else one datagram (with its sender where `sender` is given), else would_block.
    // Costs nothing beyond the receive while no error has been reported.
    IoResult receive(std::span<std::uint8_t, kPacketSize> buffer, Udp::endpoint* sender) {
        const auto queued = errors_queued_ ? take_error() : std::nullopt;
        const IoResult result = queued ? IoResult{0, *queued} : receive_datagram(buffer, sender);
        readable_ = would_block(result.error) ? Readable::Empty : Readable::Unknown;
        read_at_wait_ = loop_.complete_waits();
        return result;
    }

    // A send failed for the socket's pending error: its entry waits in the error queue.
    void note_errors_queued() noexcept { errors_queued_ = true; }

    // The oldest queued error, if any; while one was found, more may follow.
    std::optional<boost::system::error_code> take_error() noexcept {
        auto queued = take_queued_error(fd_);
        errors_queued_ = queued.has_value();
        return queued;
    }

    void subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        detail::subscribe_or_wake(readable() == Readable::Reported, slot, reader_, waiter);
        if (slot) watch(watched_ & ~static_cast<std::uint32_t>(EPOLLET));
    }

    void subscribe_writable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        slot.emplace(writer_, waiter);
        watch(watched_ | EPOLLOUT);
    }

    void on_events(std::uint32_t events) override {
        if (fd_ < 0) return;  // closed by a task that an earlier event of the same batch woke
        const bool in = (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
        const bool out = (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
        if (in) readable_ = Readable::Reported;
        if (events & EPOLLERR) errors_queued_ = true;
        detail::Wakeable* const reader = in ? std::exchange(reader_.target, nullptr) : nullptr;
        detail::Wakeable* const writer = out ? std::exchange(writer_.target, nullptr) : nullptr;
        std::uint32_t next = watched_;
        if (in && !reader) next |= EPOLLET;
        if (out) next &= ~static_cast<std::uint32_t>(EPOLLOUT);
        watch(next);
        // Both belong to the socket's one task, which waits in one place at a time; the first may end the socket.
        if (reader) reader->wake_from_handler();
        if (writer && writer != reader) writer->wake_from_handler();
    }

    // Takes the descriptor out of the epoll set and closes it; the loop frees this object once no event that it
    // has read refers to it.
    static void close(Descriptor* descriptor) noexcept {
        descriptor->loop_.remove_watch(descriptor->fd_);
        ::close(descriptor->fd_);
        descriptor->fd_ = -1;
        descriptor->loop_.retire(std::unique_ptr<detail::EventSource>(descriptor));
    }

private:
    static constexpr std::uint32_t kReading = EPOLLIN;

    // A receive that fails hands out the socket's pending error: the kernel's second report of an ICMP error
    // whose entry it has queued, and that entry is the one to report. Without an entry, the error is reported
    // itself when the receive buffer had no room for its entry; otherwise it is left over from an entry taken
    // already (the kernel queues the entry first and sets the pending error after), and the receive is made again.
    IoResult receive_datagram(std::span<std::uint8_t, kPacketSize> buffer, Udp::endpoint* sender) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            socklen_t length = sender ? static_cast<socklen_t>(sender->capacity()) : 0;
            const ssize_t received =
                sender ? ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC, sender->data(), &length)
                       : ::recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC);
            const IoResult result = receive_result(received);
            if (received >= 0 || !may_be_pending_icmp_error(result.error.value())) {
                if (sender && received >= 0) sender->resize(length);
                return result;
            }
            if (const auto queued = take_error()) return IoResult{0, *queued};
            if (no_room_for_queued_errors(fd_)) return result;
        }
        return IoResult{0, asio_error::would_block};
    }

    void watch(std::uint32_t events) {
        loop_.update_watch(fd_, watched_, events, *this);
        watched_ = events;
    }

    int fd_;
    detail::WorkerLoop& loop_;
    std::uint64_t read_at_wait_;
    std::uint32_t watched_ = 0;
    Readable readable_ = Readable::Unknown;
    // Epoll reported an error (or a send met the pending one) since the error queue was last found empty.
    bool errors_queued_ = false;
    detail::LocalWaiter reader_;
    detail::LocalWaiter writer_;
};

void DatagramSocket::Close::operator()(Descriptor* descriptor) const noexcept { Descriptor::close(descriptor); }

DatagramSocket::DatagramSocket(std::unique_ptr<Descriptor, Close> descriptor) noexcept
    : descriptor_(std::move(descriptor)) {}

bool DatagramSocket::known_empty() const noexcept { return descriptor_->readable() == Descriptor::Readable::Empty; }

BranchHint DatagramSocket::readable_hint() const noexcept {
    switch (descriptor_->readable()) {
        case Descriptor::Readable::Empty: return BranchHint::Idle;
        case Descriptor::Readable::Unknown: return BranchHint::DecidedByWaiting;
        case Descriptor::Readable::Reported: break;
    }
    return BranchHint::MayBeReady;
}

IoResult DatagramSocket::receive_if_readable(std::span<std::uint8_t, kPacketSize> buffer) {
    if (known_empty()) return IoResult{0, asio_error::would_block};
    return descriptor_->receive(buffer, nullptr);
}

void DatagramSocket::subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    descriptor_->subscribe_readable(slot, waiter);
}

// Hands the descriptor to a socket in the epoll set of the calling task's worker.
SetupResult<DatagramSocket> make_datagram_socket(int fd) {
    detail::WorkerLoop* loop = detail::this_worker_loop;
    if (!loop) {
        ::close(fd);
        throw std::logic_error("only a task on a runtime worker can make a socket");
    }
    try {
        return DatagramSocket(std::unique_ptr<DatagramSocket::Descriptor, DatagramSocket::Close>(
            new DatagramSocket::Descriptor(fd, *loop)));
    } catch (const std::system_error& error) {
        ::close(fd);
        return os_error(system_error_code(error.code().value()));
    }
}

// The socket's own readiness waits, as branches of a wait of their own.
struct DatagramSocket::ReadableBranch {
    Descriptor* descriptor;
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        descriptor->subscribe_readable(slot, waiter);
    }
};

struct DatagramSocket::WritableBranch {
    Descriptor* descriptor;
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        descriptor->subscribe_writable(slot, waiter);
    }
};

Awaitable<IoResult> DatagramSocket::receive_from(std::span<std::uint8_t, kPacketSize> buffer, Udp::endpoint& sender) {
    bool waited = false;
    for (;;) {
        if (waited || (receive_choice_.try_at_once() && !known_empty())) {
            const IoResult result = descriptor_->receive(buffer, &sender);
            if (!would_block(result.error)) {
                if (waited) co_return result;
                receive_choice_.taken_at_once();
                if (detail::coop_spend()) co_await yield_now();
                co_return result;
            }
            receive_choice_.found_empty();
        }
        detail::coop_reset();
        ReadableBranch readable{descriptor_.get()};
        co_await detail::wait_ready(std::array<bool, 1>{true}, readable);
        receive_choice_.waited();
        waited = true;
    }
}

template <typename SendCall>
Awaitable<IoResult> DatagramSocket::send_when_writable(SendCall send_call) {
    int pending_failures = 0;
    for (;;) {
        ssize_t length = 0;
        do {
            length = send_call();
        } while (length < 0 && errno == EINTR);
        if (length >= 0) co_return IoResult{static_cast<std::size_t>(length), {}};
        const int code = errno;
        if (code == EAGAIN || code == EWOULDBLOCK) {
            WritableBranch writable{descriptor_.get()};
            co_await detail::wait_ready(std::array<bool, 1>{true}, writable);
            continue;
        }
        if (!may_be_pending_icmp_error(code)) co_return IoResult{0, system_error_code(code)};
        // The socket's pending error fails a send before the datagram goes: an ICMP error that came back for an
        // earlier datagram, whose queued entry the receive side reports. Sent again, this datagram goes, or fails
        // for a reason of its own. While errors keep arriving between the attempts, the send gives up after a
        // few and reports a queued entry in place of the pending error, so that each error is reported once.
        descriptor_->note_errors_queued();
        if (++pending_failures < kSendAttempts) continue;
        co_return IoResult{0, descriptor_->take_error().value_or(system_error_code(code))};
    }
}

Awaitable<IoResult> DatagramSocket::send(std::span<const std::uint8_t> datagram) {
    return send_when_writable([fd = descriptor_->fd(), datagram] {
        return ::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    });
}

Awaitable<IoResult> DatagramSocket::send_to(std::span<const std::uint8_t> datagram, const Udp::endpoint& destination) {
    return send_when_writable([fd = descriptor_->fd(), datagram, &destination] {
        return ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, destination.data(),
                        static_cast<socklen_t>(destination.size()));
    });
}

Udp::endpoint DatagramSocket::local_endpoint() const {
    Udp::endpoint endpoint;
    socklen_t length = static_cast<socklen_t>(endpoint.capacity());
    if (::getsockname(descriptor_->fd(), endpoint.data(), &length) < 0) return Udp::endpoint();
    endpoint.resize(length);
    return endpoint;
}

Attempt<IoResult> DatagramBranch::try_take() {
    IoResult result = socket->receive_if_readable(buffer);
    if (would_block(result.error)) return {};
    return {result, false};
}

Awaitable<SetupResult<DatagramSocket>> bind_udp(std::string address_text) {
    auto resolved = co_await resolve(std::move(address_text));
    if (!resolved.has_value()) co_return resolved.error();
    boost::system::error_code error;
    for (const Udp::endpoint& endpoint : resolved.value()) {
        auto socket = open_socket(endpoint.protocol().family());
        if (!socket.has_value()) {
            error = socket.error().code;
            continue;
        }
        if (::bind(socket->get(), endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0) {
            co_return make_datagram_socket(socket->release());
        }
        error = last_error();
    }
    co_return os_error(error);
}

Awaitable<SetupResult<DatagramSocket>> connect_udp(std::string address_text) {
    auto socket = open_socket(AF_INET);
    if (!socket.has_value()) co_return socket.error();
    const Udp::endpoint any(Udp::v4(), 0);
    if (::bind(socket->get(), any.data(), static_cast<socklen_t>(any.size())) < 0) co_return os_error(last_error());
    auto resolved = co_await resolve(std::move(address_text));
    if (!resolved.has_value()) co_return resolved.error();
    boost::system::error_code error;
    for (const Udp::endpoint& endpoint : resolved.value()) {
        if (::connect(socket->get(), endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0) {
            co_return make_datagram_socket(socket->release());
        }
        error = last_error();
    }
    co_return os_error(error);
}

}  // namespace brindlemoor::runtime
