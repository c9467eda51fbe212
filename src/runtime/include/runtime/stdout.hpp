#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "runtime/wait.hpp"

// Result lines on standard output, as tasks see them. The output modules queue whole lines for the standard-output
// writer, which writes them off the workers; the aggregator that prints them waits for room in the writer's buffer
// before its next print, as it would wait on a slow standard output, and a write that fails for real ends the run.
namespace brindlemoor::runtime {

// From now on a failed write of standard output ends the run with status 1, after the ERROR line "Standard output
// cannot be written: {}" under `log_target` (the aggregator's). A result that cannot reach standard output is lost
// for good, and a run that measures on without showing anything would look like a success.
void end_run_when_results_cannot_be_written(std::string_view log_target);

// The value of a fair wait's result-room branch.
struct ResultRoom {};

// Fair-wait branch: the result buffer has room for the next print.
struct ResultRoomBranch {
    using value_type = ResultRoom;
    Attempt<ResultRoom> try_take();
    void subscribe(std::optional<detail::WaiterRegistration>& slot, detail::Wakeable& waiter);
};
inline ResultRoomBranch on_result_room() { return {}; }

}  // namespace brindlemoor::runtime
