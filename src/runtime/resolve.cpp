#include "runtime/resolve.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>

#include "blocking_pool.hpp"
#include "runtime/runtime.hpp"
#include "shared/decimal.hpp"

namespace brindlemoor::runtime {
namespace {

namespace asio_error = boost::asio::error;

SetupError invalid_input(std::string message) {
    return SetupError{asio_error::invalid_argument, std::move(message)};
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

void throw_exception_from_error(const SetupError& error, const boost::source_location& location) {
    boost::throw_exception(boost::system::system_error(error.code, error.message), location);
}

SetupError os_error(const boost::system::error_code& code) { return SetupError{code, code.message()}; }

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

}  // namespace brindlemoor::runtime
