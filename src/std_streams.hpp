#pragma once

#include <string_view>
#include <system_error>

namespace brindlemoor {

// Ignores SIGPIPE, so that a write to a closed pipe fails with an error instead of killing the process.
// Called once, first thing in the process.
void init_std_streams();

// Writes the whole text to standard output at once (retrying after signals). Returns the error of a failed write.
std::error_code write_stdout(std::string_view text);

// Writes to standard error in one write under the process's standard-error lock, so that lines of different
// threads never mix. A failed write is not reported.
void write_stderr(std::string_view text);

// Flushes standard output and ends the process at once with `status`, without running static destructors
// (other threads may still be running).
[[noreturn]] void exit_process(int status);

}  // namespace brindlemoor
