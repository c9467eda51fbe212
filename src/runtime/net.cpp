#include "runtime/net.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/redirect_error.hpp>

#include "blocking_pool.hpp"
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

// A receive goes into the caller's 28 bytes plus one spare byte: a datagram that fills the spare byte was longer
// than a packet (Linux truncates silently), so it becomes message_size instead of a wrong 28-byte datagram.
using SpareByte = std::array<std::uint8_t, 1>;

std::array<boost::asio::mutable_buffer, 2> receive_buffers(std::span<std::uint8_t, kPacketSize> buffer,
                                                           SpareByte& spare) {
    return {boost::asio::buffer(buffer.data(), buffer.size()), boost::asio::buffer(spare)};
}

IoResult bounded_result(std::size_t length, const boost::system::error_code& error) {
    if (error) return IoResult{0, error};
    if (length > kPacketSize) return IoResult{0, asio_error::message_size};
    return IoResult{length, {}};
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

// What the socket's task and its pending readiness wait share; both run on the task's worker only. `readable` is
// false from a would-block until the wait completes; a wait is pending whenever it is false.
struct DatagramSocket::Readiness {
    detail::LocalWaiter waiter;
    bool readable = true;
    bool wait_pending = false;
};

DatagramSocket::DatagramSocket(Udp::socket socket)
    : socket_(std::move(socket)), readiness_(std::make_shared<Readiness>()) {}

IoResult DatagramSocket::receive_if_readable(std::span<std::uint8_t, kPacketSize> buffer) {
    if (!readiness_->readable) return IoResult{0, asio_error::would_block};
    SpareByte spare{};
    boost::system::error_code error;
    const std::size_t length = socket_.receive(receive_buffers(buffer, spare), 0, error);
    const IoResult result = bounded_result(length, error);
    if (!would_block(result.error)) return result;
    readiness_->readable = false;
    if (!std::exchange(readiness_->wait_pending, true)) arm_readiness_wait();
    return result;
}

void DatagramSocket::arm_readiness_wait() {
    // Completes at the next datagram or error (also one that came after the would-block and before this call),
    // or when the socket closes.
    socket_.async_wait(Udp::socket::wait_read, [readiness = readiness_](const boost::system::error_code&) {
        readiness->wait_pending = false;
        readiness->readable = true;
        readiness->waiter.wake_from_handler();
    });
}

void DatagramSocket::subscribe_readable(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter) {
    detail::subscribe_or_wake(readiness_->readable, slot, readiness_->waiter, waiter);
}

void throw_exception_from_error(const SetupError& error, const boost::source_location& location) {
    boost::throw_exception(boost::system::system_error(error.code, error.message), location);
}

SetupResult<DatagramSocket> make_datagram_socket(Udp::socket socket) {
    boost::system::error_code error;
    socket.non_blocking(true, error);
    if (error) return os_error(error);
    return DatagramSocket(std::move(socket));
}

Awaitable<IoResult> DatagramSocket::receive_from(std::span<std::uint8_t, kPacketSize> buffer, Udp::endpoint& sender) {
    SpareByte spare{};
    const auto buffers = receive_buffers(buffer, spare);
    boost::system::error_code error;
    if (receive_choice_.try_at_once()) {
        const std::size_t length = socket_.receive_from(buffers, sender, 0, error);
        if (!would_block(error)) {
            receive_choice_.taken_at_once();
            if (detail::coop_spend()) co_await yield_now();
            co_return bounded_result(length, error);
        }
        receive_choice_.found_empty();
    }
    detail::coop_reset();
    // Asio tries the receive once more and otherwise waits for readability with no new registration at the
    // reactor, which a readiness wait would cost on every datagram.
    const std::size_t length = co_await socket_.async_receive_from(
        buffers, sender, boost::asio::redirect_error(boost::asio::use_awaitable, error));
    receive_choice_.waited();
    co_return bounded_result(length, error);
}

template <typename SendCall>
Awaitable<IoResult> DatagramSocket::send_when_writable(SendCall send_call) {
    for (;;) {
        boost::system::error_code error;
        const std::size_t length = send_call(error);
        if (!would_block(error)) co_return IoResult{error ? 0 : length, error};
        boost::system::error_code wait_error;
        co_await socket_.async_wait(Udp::socket::wait_write, boost::asio::redirect_error(boost::asio::use_awaitable, wait_error));
        if (wait_error) co_return IoResult{0, wait_error};
    }
}

Awaitable<IoResult> DatagramSocket::send(std::span<const std::uint8_t> datagram) {
    return send_when_writable([this, datagram](boost::system::error_code& error) {
        return socket_.send(boost::asio::buffer(datagram.data(), datagram.size()), 0, error);
    });
}

Awaitable<IoResult> DatagramSocket::send_to(std::span<const std::uint8_t> datagram, const Udp::endpoint& destination) {
    return send_when_writable([this, datagram, &destination](boost::system::error_code& error) {
        return socket_.send_to(boost::asio::buffer(datagram.data(), datagram.size()), destination, 0, error);
    });
}

Udp::endpoint DatagramSocket::local_endpoint() const {
    boost::system::error_code ignored;
    return socket_.local_endpoint(ignored);
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
    const auto executor = co_await boost::asio::this_coro::executor;
    boost::system::error_code error;
    for (const Udp::endpoint& endpoint : resolved.value()) {
        Udp::socket socket(executor);
        socket.open(endpoint.protocol(), error);
        if (!error) socket.bind(endpoint, error);
        if (!error) co_return make_datagram_socket(std::move(socket));
    }
    co_return os_error(error);
}

Awaitable<SetupResult<DatagramSocket>> connect_udp(std::string address_text) {
    const auto executor = co_await boost::asio::this_coro::executor;
    Udp::socket socket(executor);
    boost::system::error_code error;
    socket.open(Udp::v4(), error);
    if (!error) socket.bind(Udp::endpoint(Udp::v4(), 0), error);
    if (error) co_return os_error(error);
    auto resolved = co_await resolve(std::move(address_text));
    if (!resolved.has_value()) co_return resolved.error();
    for (const Udp::endpoint& endpoint : resolved.value()) {
        socket.connect(endpoint, error);
        if (!error) co_return make_datagram_socket(std::move(socket));
    }
    co_return os_error(error);
}

}  // namespace brindlemoor::runtime
