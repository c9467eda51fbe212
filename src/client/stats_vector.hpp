#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "session_report.hpp"

namespace brindlemoor {

// One filed sequence number: its send time and, once answered, its receive time (0: not received).
struct Slot {
    std::uint64_t seq = 0;
    std::uint64_t sent_ns = 0;
    std::uint64_t rcvd_ns = 0;
};

enum class WindowPosition : std::uint8_t { Inside, Above, Below };

// A run of consecutive sequence numbers starting at `first_seq`, one slot per number, indexed by its distance
// from `first_seq`. The range ends at 2^64 - 1 at the latest instead of wrapping to 0, so every number found
// inside has a slot (a wrapped end would make the range test disagree with the slot count).
struct Window {
    std::span<Slot> slots;
    std::uint64_t first_seq = 1;
    std::uint64_t last_sent = 0;      // last number handed over while active, filed or not; 0: none
    std::uint64_t next_expected = 1;  // one above the highest number received; wraps to 0 above 2^64 - 1
    WindowStats stats;

    WindowPosition locate(std::uint64_t seq) const noexcept {
        if (seq < first_seq) return WindowPosition::Below;
        return seq - first_seq < slots.size() ? WindowPosition::Inside : WindowPosition::Above;
    }

    // Files a number handed to the active window; a number outside the range is counted, not filed.
    template <typename ReadNow>
    WindowPosition file(std::uint64_t seq, ReadNow&& read_now) {
        last_sent = seq;
        const WindowPosition position = locate(seq);
        switch (position) {
            case WindowPosition::Inside:
                ++stats.sent;
                slots[seq - first_seq] = Slot{seq, read_now(), 0};
                break;
            case WindowPosition::Above: ++stats.err_sent_seq_high; break;
            case WindowPosition::Below: ++stats.err_sent_seq_low; break;
        }
        return position;
    }

    // Classifies a reply. The slot is used whatever number it holds; only the duplicate test compares it.
    template <typename ReadNow>
    WindowPosition receive(std::uint64_t seq, ReadNow&& read_now) {
        const WindowPosition position = locate(seq);
        if (position != WindowPosition::Inside) return position;
        ++stats.rcvd;
        const std::uint64_t offset = seq - first_seq;
        Slot& slot = slots[offset];
        // Distances from first_seq stay ordered even when next_expected has wrapped to 0.
        if (offset >= next_expected - first_seq) {
            record_reception(slot, read_now());
            next_expected = seq + 1;
        } else if (slot.seq == seq && slot.rcvd_ns != 0) {
            ++stats.dups;
        } else {
            record_reception(slot, read_now());
            ++stats.reordered;
        }
        return WindowPosition::Inside;
    }

    // Starts the window over as the active one; the slots keep numbers that all lie below the new range.
    void restart_at(std::uint64_t seq) noexcept {
        first_seq = seq;
        next_expected = seq;
        last_sent = 0;
        stats = WindowStats{};
    }

private:
    void record_reception(Slot& slot, std::uint64_t now) noexcept {
        slot.rcvd_ns = now;
        const std::uint64_t rtt = now - slot.sent_ns;
        stats.rtt_sum += rtt;
        if (rtt > stats.rtt_max) stats.rtt_max = rtt;
        if (stats.rtt_min == 0 || rtt < stats.rtt_min) stats.rtt_min = rtt;
    }
};

namespace stats_vector_detail {

struct FreeSlots {
    void operator()(Slot* slots) const noexcept { std::free(slots); }
};
using SlotStorage = std::unique_ptr<Slot[], FreeSlots>;

// 2 x window_size zeroed slots (none for 0). Pages are zeroed lazily by the system, so a large window costs
// memory only as its slots get used. Throws std::length_error when they cannot be allocated.
SlotStorage allocate_slots(std::uint64_t window_size);

enum class Event : std::uint8_t { SendSeqTooHigh, SendSeqTooLow, ReceivedAboveActive, ReceivedBetweenWindows };
void log_event(Event event);

}  // namespace stats_vector_detail

// The production time source: nanoseconds of the monotonic clock.
struct MonotonicNanos {
    std::uint64_t operator()() const noexcept {
        const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
    }
};

// A session's sequence bookkeeping: the active window files what is sent in the current report interval, the
// previous one still takes the replies of the interval before. `Clock` returns monotonic nanoseconds; every
// time kept here is measured from the reading taken at construction. Nothing is allocated after construction.
template <typename Clock = MonotonicNanos>
class BasicStatsVector {
public:
    // Throws std::length_error when the 2 x window_size slots cannot be allocated.
    explicit BasicStatsVector(std::uint64_t window_size, Clock clock = Clock{})
        : clock_(std::move(clock)),
          start_(clock_()),
          storage_(stats_vector_detail::allocate_slots(window_size)) {
        const auto size = static_cast<std::size_t>(window_size);  // allocate_slots checked that it fits
        active_.slots = std::span<Slot>(storage_.get(), size);
        previous_.slots = std::span<Slot>(storage_.get() + size, size);
    }

    // After every send attempt, successful or not, with the number the datagram carried.
    void on_send(std::uint64_t seq) {
        using stats_vector_detail::Event;
        switch (active_.file(seq, [this] { return now(); })) {
            case WindowPosition::Inside: break;
            case WindowPosition::Above: stats_vector_detail::log_event(Event::SendSeqTooHigh); break;
            case WindowPosition::Below: stats_vector_detail::log_event(Event::SendSeqTooLow); break;
        }
    }

    // For every reply that passed the session's length, key and payload tests. The active window goes first:
    // where the two ranges overlap, the numbers belong to it.
    void on_receive(std::uint64_t seq) {
        using stats_vector_detail::Event;
        const auto read_now = [this] { return now(); };
        switch (active_.receive(seq, read_now)) {
            case WindowPosition::Inside: return;
            case WindowPosition::Above:
                stats_vector_detail::log_event(Event::ReceivedAboveActive);
                ++error_counters_.err_rcvd_after_windows;
                return;
            case WindowPosition::Below: break;
        }
        switch (previous_.receive(seq, read_now)) {
            case WindowPosition::Inside: return;
            case WindowPosition::Above:
                stats_vector_detail::log_event(Event::ReceivedBetweenWindows);
                ++error_counters_.err_rcvd_between_windows;
                return;
            case WindowPosition::Below: ++error_counters_.late_pkts; return;
        }
    }

    // The report tick. Without a send since the last swap it only counts a skipped interval. Otherwise it
    // takes the counters, reports the previous window, makes the active window the previous one and restarts
    // the old previous one just above the last number sent. The caller delivers the report.
    [[nodiscard]] std::optional<SessionReport> on_tick() noexcept {
        if (active_.last_sent == 0) {
            ++error_counters_.skip_interval;
            return std::nullopt;
        }
        SessionReport report{previous_.stats, std::exchange(error_counters_, ErrorCounters{})};
        report.stats.lost = unanswered(report.stats);
        const std::uint64_t next_first_seq = active_.last_sent + 1;
        std::swap(active_, previous_);
        active_.restart_at(next_first_seq);
        return report;
    }

    // The session task counts its socket and reply errors here.
    ErrorCounters& error_counters() noexcept { return error_counters_; }
    // A send error that is not one of the unreachable classes belongs to the window being filled.
    void count_send_error() noexcept { ++active_.stats.send_error; }

    const Window& active() const noexcept { return active_; }
    const Window& previous() const noexcept { return previous_; }

private:
    std::uint64_t now() { return clock_() - start_; }

    // Numbers filed and not answered. Replies to numbers not yet filed (a peer echoing numbers it never got)
    // can make the answers outnumber the sends; that is no loss, so it is 0 rather than a wrapped-around count.
    static std::uint64_t unanswered(const WindowStats& stats) noexcept {
        const std::uint64_t answered = stats.rcvd - stats.dups;
        return stats.sent > answered ? stats.sent - answered : 0;
    }

    Clock clock_;
    std::uint64_t start_;
    stats_vector_detail::SlotStorage storage_;
    Window active_;
    Window previous_;
    ErrorCounters error_counters_;
};

using StatsVector = BasicStatsVector<>;

}  // namespace brindlemoor
