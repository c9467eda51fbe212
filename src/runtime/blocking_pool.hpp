#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Threads for blocking work (host-name lookups), so that no worker thread blocks. Threads start on demand up to
// a limit and keep running until shutdown; they carry the workers' name. (asio::thread_pool would start all 64
// threads at once, about 20 ms and 64 threads for every run, also a server's, which never looks a name up.)
namespace brindlemoor::runtime::detail {

class BlockingJob {
public:
    virtual ~BlockingJob() = default;
    virtual void run() = 0;
};

class BlockingPool {
public:
    explicit BlockingPool(std::size_t max_threads);
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;
    ~BlockingPool();

    // Queues the job (it takes a task id). Throws std::system_error when no thread can run it.
    void submit(std::unique_ptr<BlockingJob> job);

    // Drops the jobs not yet started, waits for the running ones and joins the threads. Idempotent.
    void shutdown();

private:
    void run_thread();

    const std::size_t max_threads_;
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::deque<std::unique_ptr<BlockingJob>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_threads_ = 0;
    bool stopping_ = false;
};

}  // namespace brindlemoor::runtime::detail
