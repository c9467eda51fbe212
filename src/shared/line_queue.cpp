#include "line_queue.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace brindlemoor {

void LineQueue::push(std::string text) {
    // An empty entry would carry a count of dropped lines that no writer ever takes.
    if (text.empty()) return;
    queued_ += text.size();
    entries_.push_back(Entry{std::move(text), 0, std::exchange(unreported_drops_, 0)});
}

bool LineQueue::push_or_drop(std::string& line) {
    if (!has_room()) {
        ++unreported_drops_;
        return false;
    }
    push(std::move(line));
    return true;
}

void LineQueue::reinstate(std::string line) {
    if (unreported_drops_ != 0) {
        --unreported_drops_;
    } else {
        // A later line has claimed the count already; take the line out of the newest count still queued.
        const auto claimed = std::find_if(entries_.rbegin(), entries_.rend(),
                                          [](const Entry& entry) { return entry.dropped_before != 0; });
        if (claimed != entries_.rend()) --claimed->dropped_before;
    }
    push(std::move(line));
}

LineQueue::Batch LineQueue::take(std::size_t max_bytes, std::string& out) {
    Batch batch;
    if (entries_.empty()) {
        batch.dropped_before = std::exchange(unreported_drops_, 0);
        return batch;
    }
    batch.dropped_before = std::exchange(entries_.front().dropped_before, 0);
    const std::size_t start = out.size();
    while (!entries_.empty()) {
        Entry& entry = entries_.front();
        const std::size_t in_batch = out.size() - start;
        if (in_batch != 0 && entry.dropped_before != 0) break;
        const std::string_view rest = std::string_view(entry.text).substr(entry.taken);
        const std::size_t budget = max_bytes - std::min(max_bytes, in_batch);
        std::size_t count = rest.size();
        if (count > budget) {
            const std::size_t last_end = budget == 0 ? std::string_view::npos : rest.rfind('\n', budget - 1);
            if (last_end != std::string_view::npos) {
                count = last_end + 1;
            } else if (in_batch == 0) {
                const std::size_t first_end = rest.find('\n');
                count = first_end == std::string_view::npos ? rest.size() : first_end + 1;
            } else {
                break;
            }
        }
        out.append(rest.substr(0, count));
        entry.taken += count;
        if (entry.taken == entry.text.size()) entries_.pop_front();
        if (count < rest.size()) break;
    }
    batch.bytes = out.size() - start;
    queued_ -= batch.bytes;
    in_flight_ += batch.bytes;
    return batch;
}

void LineQueue::clear() noexcept {
    entries_.clear();
    queued_ = 0;
    unreported_drops_ = 0;
}

}  // namespace brindlemoor
