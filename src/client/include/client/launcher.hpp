#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/wait.hpp"
#include "shared/output_mode.hpp"

// The measurement client: its main task, which probes the server and starts the sessions.
namespace brindlemoor {

// The client's main task: starts the aggregator, learns the server's port range, starts the sessions spread over
// one interval, and waits for them.
runtime::Awaitable<void> run_client(std::string target, std::optional<std::string> tag, std::uint64_t key,
                                    std::uint64_t interval, std::uint64_t rate, std::uint16_t base_port,
                                    std::uint16_t num_sessions, bool no_probe, OutputMode output_mode);

}  // namespace brindlemoor
