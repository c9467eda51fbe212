#include "result_stream.hpp"

#include <string>
#include <system_error>

#include "logging.hpp"
#include "std_streams.hpp"

namespace brindlemoor {

void end_run_when_results_cannot_be_written(std::string_view log_target) {
    on_stdout_failure([target = std::string(log_target)](std::error_code error) {
        logging::error(target, "Standard output cannot be written: {}", error.message());
        exit_process(1);
    });
}

runtime::Attempt<ResultRoom> ResultRoomBranch::try_take() {
    if (stdout_has_room()) return {ResultRoom{}, false};
    return {};
}

void ResultRoomBranch::subscribe(std::optional<runtime::detail::WaiterRegistration>& slot,
                                 const std::weak_ptr<runtime::detail::Wakeable>& waiter) {
    subscribe_stdout_room(slot, waiter);
}

}  // namespace brindlemoor
