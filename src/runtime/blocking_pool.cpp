#include "blocking_pool.hpp"

#include <exception>
#include <string>

#include "runtime/runtime.hpp"

namespace brindlemoor::runtime::detail {

BlockingPool::BlockingPool(std::size_t max_threads) : max_threads_(max_threads == 0 ? 1 : max_threads) {
    // One thread from the start, so that a queued job always has a thread to run it even if no further thread
    // can be started later.
    threads_.emplace_back([this] { run_thread(); });
}

BlockingPool::~BlockingPool() { shutdown(); }

void BlockingPool::submit(std::unique_ptr<BlockingJob> job) {
    static_cast<void>(next_task_id());
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
    if (idle_threads_ == 0 && threads_.size() < max_threads_) {
        try {
            threads_.emplace_back([this] { run_thread(); });
        } catch (const std::system_error&) {
            // The threads that exist take the job when they are free.
        }
    }
    work_available_.notify_one();
}

void BlockingPool::shutdown() {
    std::deque<std::unique_ptr<BlockingJob>> dropped;
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
        threads.swap(threads_);
    }
    work_available_.notify_all();
    dropped.clear();
    for (auto& thread : threads) thread.join();
}

void BlockingPool::run_thread() {
    name_runtime_thread();
    for (;;) {
        std::unique_ptr<BlockingJob> job;
        {
            std::unique_lock lock(mutex_);
            ++idle_threads_;
            work_available_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            --idle_threads_;
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job->run();
        } catch (...) {
            report_escaped_exception("a blocking job", std::current_exception());
        }
    }
}

}  // namespace brindlemoor::runtime::detail
