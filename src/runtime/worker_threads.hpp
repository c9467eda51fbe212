#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The runtime's worker count, free of Asio and of the environment so that the rule can be tested directly.
namespace brindlemoor::runtime {

inline constexpr std::string_view kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";

// The worker count, or the message the runtime panics with when it refuses the variable's value.
struct WorkerThreadsSetting {
    std::size_t count = 0;      // meaningful when panic_message is empty
    std::string panic_message;  // non-empty: the runtime must not start
};

// `env_value` is the raw value of TOKIO_WORKER_THREADS (empty when unset). A set value must be a whole number
// of at least 1 (one optional leading '+', decimal digits, fitting size_t) in valid UTF-8. Unset: the number of
// processors available to the process, 1 when that is unknown (0).
WorkerThreadsSetting worker_threads_setting(std::optional<std::string_view> env_value,
                                            std::size_t available_processors);

}  // namespace brindlemoor::runtime
