#include "worker_threads.hpp"

#include <fmt/format.h>

#include "shared/debug_text.hpp"
#include "shared/decimal.hpp"
#include "shared/utf8.hpp"

namespace brindlemoor::runtime {

WorkerThreadsSetting worker_threads_setting(std::optional<std::string_view> env_value,
                                            std::size_t available_processors) {
    if (!env_value) return {available_processors == 0 ? 1 : available_processors, {}};
    if (!is_valid_utf8(*env_value)) {
        return {0, fmt::format("\"{}\" must be valid unicode, error: {}", kWorkerThreadsVariable,
                               debug_quoted(*env_value))};
    }
    const auto parsed = parse_decimal<std::size_t>(*env_value);
    if (const auto* error = std::get_if<IntegerError>(&parsed)) {
        return {0, fmt::format("\"{}\" must be usize, error: {}, value: {}", kWorkerThreadsVariable,
                               integer_error_text(*error), *env_value)};
    }
    const std::size_t count = std::get<std::size_t>(parsed);
    if (count == 0) return {0, fmt::format("\"{}\" cannot be set to 0", kWorkerThreadsVariable)};
    return {count, {}};
}

}  // namespace brindlemoor::runtime
