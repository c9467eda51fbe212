#include "runtime/stdout.hpp"

#include <mutex>
#include <string>
#include <system_error>

#include "logging/logging.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor::runtime {
namespace {

// The tasks waiting for room in the result buffer.
struct RoomWaiters {
    std::mutex mutex;
    detail::WaiterList list;
};

// Made before main, so before any writer runs; never destroyed, since the writer may call in until the end.
const std::shared_ptr<RoomWaiters>& room_waiters = *new std::shared_ptr<RoomWaiters>(std::make_shared<RoomWaiters>());

// Called by the writer under its stream's lock. Woken under this lock too: a runtime that shuts down removes its
// waiters under it before its workers' queues go, so a wake-up never reaches a queue that is gone.
void wake_room_waiters() noexcept {
    std::lock_guard lock(room_waiters->mutex);
    while (const std::shared_ptr<detail::Wakeable> waiter = room_waiters->list.pop_live()) waiter->wake();
}

}  // namespace

void end_run_when_results_cannot_be_written(std::string_view log_target) {
    on_stdout_failure([target = std::string(log_target)](std::error_code error) {
        logging::error(target, "Standard output cannot be written: {}", error.message());
        exit_process(1);
    });
}

Attempt<ResultRoom> ResultRoomBranch::try_take() {
    if (stdout_has_room()) return {ResultRoom{}, false};
    return {};
}

void ResultRoomBranch::subscribe(std::optional<detail::WaiterRegistration>& slot,
                                 detail::Wakeable& waiter) {
    static std::once_flag notice_installed;
    std::call_once(notice_installed, [] { on_stdout_room(&wake_room_waiters); });
    {
        std::lock_guard lock(room_waiters->mutex);
        slot.emplace(room_waiters, room_waiters->mutex, room_waiters->list, waiter);
    }
    // Looked at once registered, outside this lock (the writer takes its own lock first, then this one): room
    // that comes meanwhile finds the registration.
    if (stdout_has_room()) {
        waiter.wake();
    }
}

}  // namespace brindlemoor::runtime
