#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "shared/output_mode.hpp"
#include "shared/timestamp.hpp"

namespace brindlemoor {

// One server result: the counts of an interval (with the time they were read) or the run's totals (no time).
struct BouncerOutput {
    std::optional<WallClock::time_point> timestamp{};
    std::optional<std::string> tag{};
    std::uint64_t pkts_rcvd = 0;
    std::uint64_t pkts_sent = 0;
    std::uint64_t invalid_key = 0;
    std::uint64_t decode_error = 0;
    std::uint64_t recv_error = 0;
    std::uint64_t send_error = 0;
    std::uint64_t icmp_port_unreachable = 0;
    std::uint64_t icmp_host_unreachable = 0;
    std::uint64_t icmp_network_unreachable = 0;

    bool operator==(const BouncerOutput&) const = default;
};

// The text line, newline included. The time shown is the record's timestamp, or `now` when it has none, in
// local time. Verbose also shows the items whose value is 0.
std::string format_server_text(const BouncerOutput& record, bool verbose, WallClock::time_point now);

// Why a record could not be serialised (a tag that is not valid UTF-8).
struct SerializationError {
    std::string message;
};

// The compact JSON line, newline included, or the serialiser's error.
std::variant<std::string, SerializationError> format_server_json(const BouncerOutput& record);

// The printers below hand whole lines to the standard-output writer (std_streams), without waiting.

// Standard: text; Verbose: verbose text; JSON: the JSON line.
void print_server_output(const BouncerOutput& record, OutputMode mode);

// Prints the text line, showing the current time when the record has no timestamp.
void print_server_text(const BouncerOutput& record, bool verbose);

// Prints the JSON line. A record that cannot be serialised is logged at ERROR and nothing is printed.
void print_server_json(const BouncerOutput& record);

}  // namespace brindlemoor
