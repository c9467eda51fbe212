#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "session_report.hpp"

// The client aggregator's bookkeeping, free of I/O: the report channel's size, and the folding of the
// sessions' reports into rounds and run totals.
namespace brindlemoor {

// Room for two reports per session, counted in 16 bits as peers expect (40000 sessions give 14464, 32769 give
// 2), except that 32768 sessions get their full 65536 instead of a wrap to 0. 0 sessions give 0: no channel.
std::size_t report_channel_capacity(std::uint16_t num_sessions) noexcept;

// A round is the next `num_sessions` reports, whichever sessions sent them.
class RoundCollector {
public:
    // `num_sessions` must be at least 1.
    explicit RoundCollector(std::uint16_t num_sessions) noexcept : num_sessions_(num_sessions) {}

    // Folds a report into the round. The report that completes it folds the round into the totals, starts the
    // next round and yields the completed one.
    std::optional<SessionReport> add(const SessionReport& report) noexcept;

    // The sum of all completed rounds; a partly collected round is not in it.
    const SessionReport& totals() const noexcept { return totals_; }

private:
    std::uint16_t num_sessions_;
    std::uint16_t reports_ = 0;
    SessionReport round_;
    SessionReport totals_;
};

}  // namespace brindlemoor
