// Tasks on a real runtime: ids, placement on the workers, join outcomes and their texts, panic reports, shutdown.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "output_test_support.hpp"
#include "runtime/channel.hpp"
#include "runtime/ctrl_c.hpp"
#include "runtime/resolve.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "runtime/timer.hpp"
#include "runtime_test_support.hpp"

namespace brindlemoor::runtime {
namespace {

// Child-process checks report through the exit status: a fresh process starts the id counter at 1.
#define CHECK_OR_EXIT(condition, status) \
    if (!(condition)) std::_Exit(status)

TEST(RuntimeTaskDeathTest, WorkersTakeTheFirstIdsAndTasksTheNext) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Runtime runtime(3);
            JoinHandle main_task = spawn([](TaskId id) -> Awaitable<void> {
                CHECK_OR_EXIT(id == 4, 2);
                char name[16] = {};
                pthread_getname_np(pthread_self(), name, sizeof name);
                CHECK_OR_EXIT(std::string(name) == "tokio-runtime-w", 3);
                // A lookup is a blocking job and takes the next id; the task spawned after it gets the one after.
                auto resolved = co_await resolve("localhost:1");
                CHECK_OR_EXIT(resolved.has_value(), 4);
                JoinHandle inner = spawn([](TaskId inner_id) -> Awaitable<void> {
                    CHECK_OR_EXIT(inner_id == 6, 5);
                    co_return;
                });
                CHECK_OR_EXIT(inner.id() == 6, 6);
                CHECK_OR_EXIT((co_await inner.join()).returned(), 7);
            });
            CHECK_OR_EXIT(main_task.id() == 4, 8);
            CHECK_OR_EXIT(main_task.join_blocking().returned(), 9);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RuntimeTaskTest, PanicsBecomeJoinErrorsWithTheirTextsAndReports) {
    Runtime runtime(2);
    ::testing::internal::CaptureStderr();
    JoinHandle with_text = spawn([](TaskId) -> Awaitable<void> {
        co_await yield_now();
        throw std::runtime_error("bo\"om\n");
    });
    JoinHandle without_text = spawn([](TaskId) -> Awaitable<void> {
        co_await yield_now();
        throw 42;
    });
    const JoinOutcome text_outcome = with_text.join_blocking();
    const JoinOutcome other_outcome = without_text.join_blocking();
    const std::string reports = captured_stderr();

    ASSERT_TRUE(text_outcome.panic);
    EXPECT_EQ(text_outcome.panic->to_string(),
              "JoinError::Panic(Id(" + std::to_string(with_text.id()) + "), \"bo\\\"om\\n\", ...)");
    ASSERT_TRUE(other_outcome.panic);
    EXPECT_EQ(other_outcome.panic->to_string(), "JoinError::Panic(Id(" + std::to_string(without_text.id()) + "), ...)");
    EXPECT_FALSE(other_outcome.panic->panic_text());

    EXPECT_NE(reports.find("thread 'tokio-runtime-worker' panicked at task Id(" + std::to_string(with_text.id()) +
                           "):\nbo\"om\n\n"),
              std::string::npos)
        << reports;
    EXPECT_NE(reports.find("panicked at task Id(" + std::to_string(without_text.id()) + "):\n"), std::string::npos)
        << reports;

    // The runtime goes on after a panic.
    expect_returned(spawn([](TaskId) -> Awaitable<void> { co_return; }).join_blocking());
}

TEST(RuntimeTaskTest, TasksJoinOtherTasksAndKeepTheirCapturesAlive) {
    Runtime runtime(4);
    auto outcome = spawn([](TaskId) -> Awaitable<void> {
        std::vector<JoinHandle> handles;
        auto total = std::make_shared<std::atomic<int>>(0);
        for (int i = 1; i <= 50; ++i) {
            std::string label = "task " + std::to_string(i);
            handles.push_back(spawn([label, i, total](TaskId) -> Awaitable<void> {
                co_await yield_now();
                // The captures outlive the spawning call: the lambda object lives as long as the task.
                if (label == "task " + std::to_string(i)) total->fetch_add(i);
            }));
        }
        JoinHandle failing = spawn([](TaskId) -> Awaitable<void> {
            co_await sleep_for(1'000'000);
            throw std::logic_error("late");
        });
        for (auto& handle : handles) expect_returned(co_await handle.join());
        EXPECT_EQ(total->load(), 50 * 51 / 2);
        const JoinOutcome failed = co_await failing.join();
        EXPECT_TRUE(failed.panic && failed.panic->panic_text() == "late");
    });
    ::testing::internal::CaptureStderr();
    expect_returned(outcome.join_blocking());
    captured_stderr();
}

TEST(RuntimeTaskTest, WorkersTakeNewTasksInTurnAndEveryTaskStaysOnItsWorker) {
    constexpr std::size_t kWorkers = 3;
    constexpr std::size_t kTasks = 2 * kWorkers;
    Runtime runtime(kWorkers);
    std::vector<std::optional<Channel<int>>> channels;
    for (std::size_t i = 0; i < kTasks; ++i) channels.push_back(make_channel<int>(1));
    std::vector<pthread_t> homes(kTasks);
    std::vector<JoinHandle> tasks;
    for (std::size_t i = 0; i < kTasks; ++i) {
        tasks.push_back(spawn([&home = homes[i], &receiver = channels[i]->receiver](TaskId) -> Awaitable<void> {
            home = pthread_self();
            // Resumed by its own worker's queue, its timer, and a wake-up from another worker.
            co_await yield_now();
            EXPECT_TRUE(pthread_equal(home, pthread_self()));
            co_await sleep_for(1'000'000);
            EXPECT_TRUE(pthread_equal(home, pthread_self()));
            EXPECT_EQ(co_await receiver.receive(), 1);
            EXPECT_TRUE(pthread_equal(home, pthread_self()));
        }));
    }
    std::vector<Sender<int>> senders;
    for (auto& channel : channels) senders.push_back(channel->sender);
    JoinHandle feeder = spawn([senders](TaskId) -> Awaitable<void> {
        co_await sleep_for(2'000'000);
        for (const auto& sender : senders) co_await sender.send(1);
    });
    for (auto& task : tasks) expect_returned(task.join_blocking());
    expect_returned(feeder.join_blocking());
    for (std::size_t i = 0; i < kTasks; ++i) {
        EXPECT_TRUE(pthread_equal(homes[i], homes[(i + kWorkers) % kTasks])) << i;
        EXPECT_FALSE(pthread_equal(homes[i], homes[(i + 1) % kTasks])) << i;
    }
}

TEST(RuntimeTaskTest, ShutdownDropsBlockedTasksSilentlyAndDestroysTheirState) {
    auto alive = std::make_shared<int>(0);
    ::testing::internal::CaptureStderr();
    {
        Runtime runtime(2);
        auto channel = make_channel<int>(1);
        ASSERT_TRUE(channel);
        auto blocked = std::make_shared<std::atomic<int>>(0);
        // Blocked on a sleep, a full channel, an empty channel, a socket and Ctrl+C, and a join of a task that
        // never ends.
        JoinHandle sleeper = spawn([alive, blocked](TaskId) -> Awaitable<void> {
            blocked->fetch_add(1);
            co_await sleep_for(~std::uint64_t{0});
        });
        spawn([alive, blocked, sender = channel->sender](TaskId) -> Awaitable<void> {
            co_await sender.send(1);
            blocked->fetch_add(1);
            co_await sender.send(2);
        });
        spawn([alive, blocked, receiver = std::make_shared<Receiver<int>>(std::move(channel->receiver))](TaskId)
                  -> Awaitable<void> {
            // Takes the first value, then waits for one that never comes while a sender is still alive.
            co_await receiver->receive();
            blocked->fetch_add(1);
            co_await receiver->receive();
        });
        spawn([alive, blocked](TaskId) -> Awaitable<void> {
            auto socket = co_await bind_udp("127.0.0.1:0");
            std::array<std::uint8_t, kPacketSize> buffer{};
            Interval never(~std::uint64_t{0});
            co_await never.tick();
            blocked->fetch_add(1);
            co_await fair_wait(on_datagram(socket.value(), buffer), on_tick(never), on_ctrl_c(ctrl_c()));
        });
        spawn([alive, blocked, sleeper](TaskId) -> Awaitable<void> {
            blocked->fetch_add(1);
            co_await sleeper.join();
        });
        channel.reset();
        while (blocked->load() < 5) std::this_thread::yield();
    }
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_EQ(captured_stderr(), "");
}

TEST(RuntimeTaskDeathTest, RefusedWorkerCountEndsWithStatus101) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char* value : {"0", "x"}) {
        EXPECT_EXIT(
            {
                setenv("TOKIO_WORKER_THREADS", value, 1);
                build_runtime_or_exit();
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(101), "thread 'main' panicked at .*TOKIO_WORKER_THREADS");
    }
    EXPECT_EXIT(
        {
            setenv("TOKIO_WORKER_THREADS", "3", 1);
            std::_Exit(build_runtime_or_exit()->worker_count() == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brindlemoor::runtime
