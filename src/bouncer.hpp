#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bouncer_counters.hpp"
#include "output_mode.hpp"
#include "runtime/runtime.hpp"
#include "runtime/wait.hpp"

// The reflector server: its main task and the port tasks.
namespace brindlemoor {

// The server's main task: starts the aggregator, then one port task per port of the range, and waits for them.
runtime::Awaitable<void> run_server(std::string listen_addr, std::optional<std::string> tag, std::uint64_t key,
                                    std::uint64_t interval, std::uint16_t base_port, std::uint16_t num_sessions,
                                    OutputMode output_mode);

// One port's task: binds `listen_addr` (ending the process with status 1 when that fails), then forever echoes
// every 28-byte datagram carrying `key` to its sender with the server's port range, counting into `counters`.
runtime::Awaitable<void> run_bouncer(runtime::TaskId id, std::string listen_addr, SharedBouncerCounters counters,
                                     std::uint64_t key, std::uint16_t base_port, std::uint16_t last_port);

}  // namespace brindlemoor
