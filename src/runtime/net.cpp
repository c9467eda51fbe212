#include "runtime/net.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

#include "blocking_pool.hpp"
#include "worker_loop.hpp"
#include "runtime/runtime.hpp"
#include "shared/decimal.hpp"

namespace brindlemoor::runtime {
namespace {

namespace asio_error = boost::asio::error;

SetupError invalid_input(std::string message) {
    return SetupError{asio_error::invalid_argument, std::move(message)};
}

SetupError os_error(const boost::system::error_code& code) { return SetupError{code, code.message()}; }

bool would_block(const boost::system::error_code& error) {
    return error == asio_error::would_block || error == asio_error::try_again;
}

boost::system::error_code last_error() { return {errno, boost::asio::error::get_system_category()}; }

// A receive asks for the datagram's true length (MSG_TRUNC): one longer than a packet becomes message_size
// instead of a wrong 28-byte datagram (its bytes are dropped with it).
IoResult receive_result(ssize_t length) {
    if (length < 0) return IoResult{0, last_error()};
    if (static_cast<std::size_t>(length) > kPacketSize) return IoResult{0, asio_error::message_size};
    return IoResult{static_cast<std::size_t>(length), {}};
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

SetupResult<ScopedFd> open_socket(int family) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return os_error(last_error());
    return SetupResult<ScopedFd>(boost::system::in_place_value, fd);
}

// Decimal digits as a 16-bit port; one leading '+' only where `allow_plus`.
std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_plus) {
    if (!allow_plus && text.starts_with('+')) return std::nullopt;
    const auto parsed = parse_decimal<std::uint16_t>(text);
    if (const auto* port = std::get_if<std::uint16_t>(&parsed)) return *port;
    return std::nullopt;
}

// "1.2.3.4:5", "[::1]:5" or "[fe80::1%eth0]:5"; anything else is no numeric socket address.
std::optional<Udp::endpoint> parse_socket_address(std::string_view text) {
    std::string_view host;
    std::string_view port_text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else {
        const auto colon = text.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    const auto port = parse_port(port_text, false);
    if (!port) return std::nullopt;
    boost::system::error_code error;
    const std::string host_text(host);
    const bool bracketed = text.front() == '[';
    const boost::asio::ip::address address =
        bracketed ? boost::asio::ip::address(boost::asio::ip::make_address_v6(host_text, error))
                  : boost::asio::ip::address(boost::asio::ip::make_address_v4(host_text, error));
    if (error) return std::nullopt;
    return Udp::endpoint(address, *port);
}

boost::system::error_code lookup_error_code(int status) {
    switch (status) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return asio_error::host_not_found;
        case EAI_AGAIN: return asio_error::host_not_found_try_again;
        case EAI_MEMORY: return asio_error::no_memory;
        case EAI_FAMILY: return asio_error::address_family_not_supported;
        case EAI_SERVICE: return asio_error::service_not_found;
        case EAI_SOCKTYPE: return asio_error::socket_type_not_supported;
        default: return asio_error::no_recovery;
    }
}

struct LookupResult {
    std::vector<Udp::endpoint> endpoints;
    std::optional<SetupError> error;
};

// The system resolver's addresses for `host`, each with `port`, in the resolver's order. Blocks.
LookupResult lookup_host(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (status == EAI_SYSTEM) {
        return {{}, os_error(boost::system::error_code(errno, boost::asio::error::get_system_category()))};
    }
    if (status != 0) {
        return {{}, SetupError{lookup_error_code(status),
                               std::string("failed to lookup address information: ") + ::gai_strerror(status)}};
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    LookupResult result;
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        Udp::endpoint endpoint;
        if (entry->ai_addrlen > endpoint.capacity()) continue;
        std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
        endpoint.resize(entry->ai_addrlen);
        endpoint.port(port);
        result.endpoints.push_back(endpoint);
    }
    return result;
}

// Runs `function` on the blocking pool and resumes the calling task with its result on the task's executor.
template <typename Function>
auto run_blocking(Function function) {
    using Result = std::invoke_result_t<Function&>;
    return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void(Result)>(
        [function = std::move(function)](auto handler) mutable {
            using Handler = decltype(handler);
            class Job final : public detail::BlockingJob {
            public:
                Job(Function f, Handler h) : function_(std::move(f)), handler_(std::move(h)) {}
                void run() override {
                    Result result = function_();
                    const auto executor = boost::asio::get_associated_executor(handler_);
                    boost::asio::post(executor, [handler = std::move(handler_), result = std::move(result)]() mutable {
                        std::move(handler)(std::move(result));
                    });
                }

            private:
                Function function_;
                Handler handler_;
            };
            Runtime::current().blocking_pool().submit(std::make_unique<Job>(std::move(function), std::move(handler)));
        },
        boost::asio::use_awaitable);
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
        // A complete wait since the last receive that did not report the socket saw it empty.
        const bool seen_empty = readable_ == Readable::Unknown && (watched_ & EPOLLET) == 0 &&
                                loop_.complete_waits() != read_at_wait_;
        return seen_empty ? Readable::Empty : readable_;
    }

    // Notes what a receive found.
    void received(const IoResult& result) noexcept {
        readable_ = would_block(result.error) ? Readable::Empty : Readable::Unknown;
        read_at_wait_ = loop_.complete_waits();
    }

    void subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
        detail::subscribe_or_wake(readable_ == Readable::Reported, slot, reader_, waiter);
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

    void watch(std::uint32_t events) {
        loop_.update_watch(fd_, watched_, events, *this);
        watched_ = events;
    }

    int fd_;
    detail::WorkerLoop& loop_;
    std::uint64_t read_at_wait_;
    std::uint32_t watched_ = 0;
    Readable readable_ = Readable::Unknown;
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
    const IoResult result = receive_result(::recv(descriptor_->fd(), buffer.data(), buffer.size(), MSG_TRUNC));
    descriptor_->received(result);
    return result;
}

void DatagramSocket::subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    descriptor_->subscribe_readable(slot, waiter);
}

void throw_exception_from_error(const SetupError& error, const boost::source_location& location) {
    boost::throw_exception(boost::system::system_error(error.code, error.message), location);
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
        return os_error(boost::system::error_code(error.code().value(), boost::asio::error::get_system_category()));
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
            socklen_t length = static_cast<socklen_t>(sender.capacity());
            const IoResult result = receive_result(
                ::recvfrom(descriptor_->fd(), buffer.data(), buffer.size(), MSG_TRUNC, sender.data(), &length));
            descriptor_->received(result);
            if (!would_block(result.error)) {
                if (!result.error || result.error == asio_error::message_size) sender.resize(length);
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
    for (;;) {
        ssize_t length = 0;
        do {
            length = send_call();
        } while (length < 0 && errno == EINTR);
        if (length >= 0) co_return IoResult{static_cast<std::size_t>(length), {}};
        const boost::system::error_code error = last_error();
        if (!would_block(error)) co_return IoResult{0, error};
        WritableBranch writable{descriptor_.get()};
        co_await detail::wait_ready(std::array<bool, 1>{true}, writable);
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

Awaitable<SetupResult<std::vector<Udp::endpoint>>> resolve(std::string address_text) {
    if (auto endpoint = parse_socket_address(address_text)) co_return std::vector<Udp::endpoint>{*endpoint};
    const auto colon = address_text.rfind(':');
    if (colon == std::string::npos) co_return invalid_input("invalid socket address");
    const auto port = parse_port(std::string_view(address_text).substr(colon + 1), true);
    if (!port) co_return invalid_input("invalid port value");
    std::string host = address_text.substr(0, colon);
    // The resolver takes a C string: a NUL inside would silently look up a different, shorter name.
    if (host.find('\0') != std::string::npos) co_return invalid_input("data provided contains a nul byte");
    // A named job, not a temporary inside the co_await: GCC 12 copies such temporaries bitwise.
    auto job = [host = std::move(host), port = *port] { return lookup_host(host, port); };
    LookupResult lookup = co_await run_blocking(std::move(job));
    if (lookup.error) co_return std::move(*lookup.error);
    if (lookup.endpoints.empty()) co_return invalid_input("could not resolve to any address");
    co_return std::move(lookup.endpoints);
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
