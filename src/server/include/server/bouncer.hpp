#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/wait.hpp"
#include "shared/output_mode.hpp"

// The reflector server: its main task, which serves every port of the range.
namespace brindlemoor {

// The server's main task: starts the aggregator, then one port task per port of the range, and waits for them.
runtime::Awaitable<void> run_server(std::string listen_addr, std::optional<std::string> tag, std::uint64_t key,
                                    std::uint64_t interval, std::uint16_t base_port, std::uint16_t num_sessions,
                                    OutputMode output_mode);

}  // namespace brindlemoor
