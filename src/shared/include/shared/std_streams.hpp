#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

// Standard output and standard error. No caller ever waits here for a reader: each stream has a writer thread of
// its own that writes the queued lines, so a reader that stops reading holds up that writer alone, never a worker
// thread and never the other stream. The process ends through exit_process, which first writes what is queued,
// as far as the readers take it within a short bound.
namespace brindlemoor {

// Result lines wait for standard output in a buffer of this many bytes (plus the print that fills it).
inline constexpr std::size_t kResultBufferBytes = 64 * 1024;
// A log line that finds this many bytes waiting for standard error is dropped.
inline constexpr std::size_t kLogQueueBytes = 256 * 1024;
// How long an exit lets each stream's reader hold up the writing of what is queued (a writer that has not had the
// processor yet is waited for besides).
inline constexpr std::chrono::milliseconds kExitWriteBound{250};

// Called once, first thing in the process. Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed,
// so that no descriptor the program opens later is written as a standard stream; ignores SIGPIPE, so that a write
// to a closed pipe fails with an error instead of killing the process; starts both writers. Ends the process with
// status 101 when a writer cannot start.
void init_std_streams();

// Queues text made of whole lines for standard output, without waiting. The printer keeps the buffer's bound:
// it waits for room before its next print (stdout_has_room, on_stdout_room).
void queue_stdout(std::string text);
bool stdout_has_room();
// From now on the writer calls `notify` on its thread, under the stream's lock, each time it has written a batch and
// the buffer has room (or the stream has failed, so that nobody waits for room any more).
void on_stdout_room(void (*notify)() noexcept);
// From now on a write to standard output that fails for real (not "try again") calls `handler` on the writer's
// thread, after which nothing more is written there. Until a handler is set, a failed write loses its lines and
// the writer goes on with the next.
void on_stdout_failure(std::function<void(std::error_code)> handler);

// Queues one whole log line for standard error, or drops it when kLogQueueBytes are waiting already. Dropped
// lines are counted and reported, where they are missing, by the line that `report` makes once writing resumes.
void queue_log_line(std::string line);
void set_dropped_log_lines_report(std::string (*report)(std::uint64_t dropped) noexcept);
// Queues text made of whole lines for standard error that is never dropped (panic reports, command-line errors).
void queue_stderr(std::string text);

// Waits until both writers have written everything queued so far (or given it up), or until each stream's reader
// has held up its writing for `bound`.
void drain_std_streams(std::chrono::steady_clock::duration bound);

// Ends the process with `status`, from any thread, without running static destructors (other threads may still be
// running). First it stops taking lines (the last log line of the calling thread goes in even if the queue had
// dropped it) and waits up to kExitWriteBound for the readers to take what is queued. A batch of lines is written
// whole or not at all, unless a single line is longer than the pipe's atomic write size (4096 bytes). When another
// thread is ending the process already, the caller waits for that end.
[[noreturn]] void exit_process(int status);

}  // namespace brindlemoor
