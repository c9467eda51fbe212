#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace brindlemoor {

// The lines waiting for one standard stream: a FIFO of whole lines between the threads that print them and the
// one thread that writes them, bounded in bytes. Pure: the caller locks, waits and writes.
//
// The bytes held are those queued plus those of the batch being written. A print is let in while the held bytes
// are below the bound, so they exceed it by one print at most; a print larger than the bound still goes out, alone.
// A line that finds no room can be dropped instead (log lines); the writer learns how many were dropped at the
// place where they were missing, so that it can say so there.
class LineQueue {
public:
    explicit LineQueue(std::size_t bound) : bound_(bound) {}

    bool has_room() const noexcept { return held() < bound_; }
    std::size_t held() const noexcept { return queued_ + in_flight_; }
    // Nothing queued, nothing being written and no dropped line left unreported.
    bool idle() const noexcept { return held() == 0 && unreported_drops_ == 0; }
    // The writer has something to take: lines, or a report of dropped lines.
    bool has_work() const noexcept { return queued_ != 0 || unreported_drops_ != 0; }

    // Appends text made of whole lines, whatever the bound (the caller has decided that it goes in).
    void push(std::string text);
    // Appends one line when there is room; otherwise counts it as dropped and leaves it with the caller.
    // True when it was queued.
    bool push_or_drop(std::string& line);
    // Queues a line that push_or_drop dropped, after all (the process is ending and it was the last line of the
    // thread that ends it); it no longer counts as dropped unless its report was written already.
    void reinstate(std::string line);

    // What the writer takes for one write.
    struct Batch {
        std::uint64_t dropped_before = 0;  // lines dropped right before `text`, to be reported first
        std::size_t bytes = 0;             // the size of the text appended to the caller's buffer
    };
    // Moves the next batch into `out` (appended): whole lines from the front, at most `max_bytes` of them, or the
    // first line alone when it is longer. A batch never runs across a place where lines were dropped: those come
    // first, as the count of the batch. Its bytes stay held until release(). Call only when has_work().
    Batch take(std::size_t max_bytes, std::string& out);
    // The taken batch has been written (or given up): its bytes are no longer held.
    void release(std::size_t bytes) noexcept { in_flight_ -= bytes; }
    // Forgets everything queued and every unreported drop (the stream has failed for good).
    void clear() noexcept;

private:
    struct Entry {
        std::string text;
        std::size_t taken = 0;            // bytes of `text` already taken by the writer
        std::uint64_t dropped_before = 0;
    };

    const std::size_t bound_;
    std::deque<Entry> entries_;
    std::size_t queued_ = 0;
    std::size_t in_flight_ = 0;
    std::uint64_t unreported_drops_ = 0;  // dropped after the newest entry
};

}  // namespace brindlemoor
