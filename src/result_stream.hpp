#pragma once

#include <string_view>
#include <system_error>

namespace brindlemoor {

// Ends the run with status 1, after an ERROR line under `log_target`, when a result line could not be written.
// A result that cannot reach standard output is lost for good, and a run that measures on without showing
// anything would look like a success.
void exit_unless_written(std::string_view log_target, std::error_code error);

}  // namespace brindlemoor
