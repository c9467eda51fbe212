#pragma once

#include <cstdint>
#include <string>

#include "launcher_aggregator.hpp"
#include "launcher_plan.hpp"
#include "runtime/task.hpp"
#include "runtime/wait.hpp"

// A measurement session of the client: one connected socket, `rate` numbered datagrams per interval, every reply
// tested and filed, one report per interval for the aggregator.
namespace brindlemoor {

// The session task's body; it never returns. A socket that cannot be set up, or sequence windows that cannot be
// allocated, end the process with status 1.
runtime::Awaitable<void> run_launcher(runtime::TaskId id, std::string target_addr,
                                      launcher_aggregator::AggregatorHandle handle, std::uint64_t key,
                                      std::uint64_t rate, ClientTiming timing);

}  // namespace brindlemoor
