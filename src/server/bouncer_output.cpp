#include "bouncer_output.hpp"

#include <array>
#include <iterator>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "logging/logging.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::bouncer_output";

struct CountKey {
    const char* key;
    std::uint64_t BouncerOutput::*count;
};

// JSON key order.
constexpr std::array<CountKey, 9> kCountKeys{{
    {"pkts_rcvd", &BouncerOutput::pkts_rcvd},
    {"pkts_sent", &BouncerOutput::pkts_sent},
    {"invalid_key", &BouncerOutput::invalid_key},
    {"decode_error", &BouncerOutput::decode_error},
    {"recv_error", &BouncerOutput::recv_error},
    {"send_error", &BouncerOutput::send_error},
    {"icmp_port_unreachable", &BouncerOutput::icmp_port_unreachable},
    {"icmp_host_unreachable", &BouncerOutput::icmp_host_unreachable},
    {"icmp_network_unreachable", &BouncerOutput::icmp_network_unreachable},
}};

}  // namespace

std::string format_server_text(const BouncerOutput& record, bool verbose, WallClock::time_point now) {
    std::string line;
    auto out = std::back_inserter(line);
    fmt::format_to(out, "{} pkts_rcvd: {} pkts_sent: {}", format_local_time_millis(record.timestamp.value_or(now)),
                   record.pkts_rcvd, record.pkts_sent);

    const auto item = [&](std::string_view label, std::uint64_t value) {
        if (verbose || value != 0) fmt::format_to(out, "{} {}", label, value);
    };
    item(" send_error:", record.send_error);
    item(" invalid_key:", record.invalid_key);
    item(" decode_error:", record.decode_error);

    const bool block_open = verbose || record.icmp_port_unreachable != 0 || record.icmp_host_unreachable != 0 ||
                            record.icmp_network_unreachable != 0 || record.recv_error != 0;
    if (block_open) {
        line += " (";
        item(" icmp_port_unreachable:", record.icmp_port_unreachable);
        item(" icmp_host_unreachable:", record.icmp_host_unreachable);
        item(" icmp_network_unreachable:", record.icmp_network_unreachable);
        item(" recv_error:", record.recv_error);
        line += " )";
    }

    if (record.tag) {
        fmt::format_to(out, " tag: {}", *record.tag);
    } else if (verbose) {
        line += " tag: ";
    }
    line += '\n';
    return line;
}

std::variant<std::string, SerializationError> format_server_json(const BouncerOutput& record) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    if (record.timestamp) object["timestamp"] = format_rfc3339_utc(*record.timestamp);
    if (record.tag) object["tag"] = *record.tag;
    for (const CountKey& entry : kCountKeys) object[entry.key] = record.*entry.count;
    try {
        std::string line = object.dump();
        line += '\n';
        return line;
    } catch (const nlohmann::ordered_json::exception& error) {
        return SerializationError{error.what()};
    }
}

void print_server_output(const BouncerOutput& record, OutputMode mode) {
    switch (mode) {
        case OutputMode::Standard: return print_server_text(record, false);
        case OutputMode::Verbose: return print_server_text(record, true);
        case OutputMode::JSON: return print_server_json(record);
    }
    print_server_text(record, false);
}

void print_server_text(const BouncerOutput& record, bool verbose) {
    queue_stdout(format_server_text(record, verbose, WallClock::now()));
}

void print_server_json(const BouncerOutput& record) {
    auto result = format_server_json(record);
    if (const auto* error = std::get_if<SerializationError>(&result)) {
        logging::error(kLogTarget, "bouncer output serialization error: {}", error->message);
        return;
    }
    queue_stdout(std::move(std::get<std::string>(result)));
}

}  // namespace brindlemoor
