#include "runtime/worker_threads.hpp"

#include <fmt/format.h>

#include <limits>

#include "debug_text.hpp"

namespace brindlemoor::runtime {
namespace {

// The unsigned integer parse of the value, or the reason it fails, in the words the panic message uses.
std::optional<std::string_view> parse_size(std::string_view text, std::size_t& value) {
    if (text.empty()) return "cannot parse integer from empty string";
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return "invalid digit found in string";
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return "invalid digit found in string";
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (max - digit) / 10) return "number too large to fit in target type";
        value = value * 10 + digit;
    }
    return std::nullopt;
}

}  // namespace

WorkerThreadsSetting worker_threads_setting(std::optional<std::string_view> env_value,
                                            unsigned hardware_concurrency) {
    if (!env_value) return {hardware_concurrency == 0 ? 1 : hardware_concurrency, {}};
    if (!is_valid_utf8(*env_value)) {
        return {0, fmt::format("\"{}\" must be valid unicode, error: {}", kWorkerThreadsVariable,
                               debug_quoted(*env_value))};
    }
    std::size_t count = 0;
    if (auto reason = parse_size(*env_value, count)) {
        return {0, fmt::format("\"{}\" must be usize, error: {}, value: {}", kWorkerThreadsVariable, *reason,
                               *env_value)};
    }
    if (count == 0) return {0, fmt::format("\"{}\" cannot be set to 0", kWorkerThreadsVariable)};
    return {count, {}};
}

}  // namespace brindlemoor::runtime
