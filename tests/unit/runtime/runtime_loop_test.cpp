// A worker's event loop on a thread of the test's own: handlers from other threads, timers by either wake-up.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "runtime/timer_queue.hpp"
#include "worker_loop.hpp"

namespace brindlemoor::runtime::detail {
namespace {

using namespace std::chrono_literals;

// Notes when its timer fired and ends the loop.
class StopOnWake final : public Wakeable {
public:
    explicit StopOnWake(WorkerLoop& loop) : loop_(loop) {}
    void wake() override { wake_from_handler(); }
    void wake_from_handler() override {
        woken_at = SteadyClock::now();
        loop_.stop();
    }
    std::weak_ptr<Wakeable> weak_reference() override { return {}; }

    std::optional<SteadyClock::time_point> woken_at;

private:
    WorkerLoop& loop_;
};

TEST(WorkerLoopTest, RunsWhatOtherThreadsQueueAndFiresTimersNeverEarly) {
    for (const TimerWakeUp wake_up : {TimerWakeUp::EpollTimeoutWhereAvailable, TimerWakeUp::Timerfd}) {
        WorkerLoop loop(wake_up);
        StopOnWake waiter(loop);
        TimerEntry entry;
        SteadyClock::time_point deadline{};
        std::thread worker([&] { loop.run(); });
        // The loop sleeps with nothing to do until this handler arrives through its eventfd.
        std::this_thread::sleep_for(20ms);
        loop.post(FunctionOperation<std::function<void()>>::make([&] {
            deadline = SteadyClock::now() + 5ms;
            entry.waiter.target = &waiter;
            loop.timers().schedule(entry, deadline);
        }));
        worker.join();
        ASSERT_TRUE(waiter.woken_at.has_value()) << static_cast<int>(wake_up);
        EXPECT_GE(*waiter.woken_at, deadline) << static_cast<int>(wake_up);
    }
}

TEST(WorkerLoopTest, DropsWhatIsStillQueuedWithoutRunningIt) {
    WorkerLoop loop;
    bool ran = false;
    auto alive = std::make_shared<int>(0);
    loop.post(FunctionOperation<std::function<void()>>::make([&ran, alive] { ran = true; }));
    EXPECT_EQ(alive.use_count(), 2);
    EXPECT_TRUE(loop.drop_queued());
    EXPECT_FALSE(loop.drop_queued());
    EXPECT_FALSE(ran);
    EXPECT_EQ(alive.use_count(), 1);
}

}  // namespace
}  // namespace brindlemoor::runtime::detail
