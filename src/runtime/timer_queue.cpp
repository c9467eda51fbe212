#include "runtime/timer_queue.hpp"

#include <algorithm>

namespace brindlemoor::runtime::detail {

void TimerQueue::schedule(TimerEntry& entry, SteadyClock::time_point deadline) {
    if (!entry.queued()) {
        entry.deadline = deadline;
        heap_.push_back(&entry);
        entry.heap_index = heap_.size() - 1;
        sift_up(entry.heap_index);
        return;
    }
    const bool earlier = deadline < entry.deadline;
    entry.deadline = deadline;
    if (earlier) {
        sift_up(entry.heap_index);
    } else {
        sift_down(entry.heap_index);
    }
}

void TimerQueue::cancel(TimerEntry& entry) noexcept {
    if (!entry.queued()) return;
    const std::size_t index = entry.heap_index;
    entry.heap_index = TimerEntry::kNotQueued;
    TimerEntry* last = heap_.back();
    heap_.pop_back();
    if (last == &entry) return;
    place(index, *last);
    sift_up(index);
    sift_down(last->heap_index);
}

SteadyClock::time_point TimerQueue::wake_time() const noexcept {
    SteadyClock::time_point best = SteadyClock::time_point::max();
    if (heap_.empty()) return best;
    // Only entries whose deadline is before the best instant so far can lower it, and the heap's order lets the
    // search stop at the first deadline that is not: with slacks of at most a millisecond it visits only the
    // entries due within a millisecond of the earliest.
    std::size_t stack[64];
    std::size_t depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
        const std::size_t index = stack[--depth];
        const TimerEntry& entry = *heap_[index];
        if (entry.deadline >= best) continue;
        const SteadyClock::time_point latest =
            entry.deadline > SteadyClock::time_point::max() - entry.slack ? SteadyClock::time_point::max()
                                                                          : entry.deadline + entry.slack;
        best = std::min(best, latest);
        for (std::size_t child = 2 * index + 1; child <= 2 * index + 2 && child < heap_.size(); ++child) {
            stack[depth++] = child;
        }
    }
    return best;
}

void TimerQueue::place(std::size_t index, TimerEntry& entry) noexcept {
    heap_[index] = &entry;
    entry.heap_index = index;
}

void TimerQueue::sift_up(std::size_t index) noexcept {
    TimerEntry* entry = heap_[index];
    while (index > 0) {
        const std::size_t parent = (index - 1) / 2;
        if (heap_[parent]->deadline <= entry->deadline) break;
        place(index, *heap_[parent]);
        index = parent;
    }
    place(index, *entry);
}

void TimerQueue::sift_down(std::size_t index) noexcept {
    TimerEntry* entry = heap_[index];
    for (;;) {
        std::size_t smallest = 2 * index + 1;
        if (smallest >= heap_.size()) break;
        if (smallest + 1 < heap_.size() && heap_[smallest + 1]->deadline < heap_[smallest]->deadline) ++smallest;
        if (entry->deadline <= heap_[smallest]->deadline) break;
        place(index, *heap_[smallest]);
        index = smallest;
    }
    place(index, *entry);
}

}  // namespace brindlemoor::runtime::detail
