#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/task.hpp"

// The program's top level: the runtime around the main body, and the main body that reads the command line,
// installs logging, picks the address, starts the one main task and waits for it.
namespace brindlemoor {

// Builds the runtime (status 101 when it cannot be built), runs `main_body` on this thread, shuts the runtime
// down and returns the exit status 0. Earlier ends of the process do not return here.
int runtime_main(int argc, char** argv);

// Runs on the main thread, not as a task; blocks until the main task has ended.
void main_body(int argc, char** argv);

// The address text for the main task: the target as given, "0.0.0.0" for a server without one. A client
// without a target logs a warning and ends the process with status 2.
std::string resolve_target(bool server, std::optional<std::string> target);

// Waits for each main task in list order and logs how it ended.
void supervise_main_task(std::vector<runtime::JoinHandle> handles);

}  // namespace brindlemoor
