#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <boost/system/result.hpp>

#include "runtime/wait.hpp"

// Address texts turned into socket addresses, and what a failed socket set-up reports.
namespace brindlemoor::runtime {

using Udp = boost::asio::ip::udp;

// Why a socket could not be set up (resolving, binding, connecting). `message` is the text to log: the
// operating system's or the resolver's description, or one of "invalid socket address", "invalid port value",
// "could not resolve to any address".
struct SetupError {
    boost::system::error_code code;
    std::string message;
};

// A set-up step's value or its error.
template <typename T>
using SetupResult = boost::system::result<T, SetupError>;

// What value() of a failed SetupResult throws: the error as a std::system_error.
[[noreturn]] void throw_exception_from_error(const SetupError& error, const boost::source_location& location);

// The error of an operating-system call, with the system's description as its message.
SetupError os_error(const boost::system::error_code& code);

// Turns an address text into socket addresses. A numeric socket address ("1.2.3.4:5", "[::1]:5",
// "[fe80::1%eth0]:5") needs no lookup. Otherwise the text is split at its last ':' into host and decimal port
// and the host is looked up by the system resolver on the blocking pool (any family, resolver order kept).
Awaitable<SetupResult<std::vector<Udp::endpoint>>> resolve(std::string address_text);

}  // namespace brindlemoor::runtime
