#include "launcher_rounds.hpp"

#include <utility>

namespace brindlemoor {

std::size_t report_channel_capacity(std::uint16_t num_sessions) noexcept {
    constexpr std::size_t kFullRoom = 65536;
    const std::size_t doubled = 2 * static_cast<std::size_t>(num_sessions);
    return doubled == kFullRoom ? kFullRoom : doubled % kFullRoom;
}

std::optional<SessionReport> RoundCollector::add(const SessionReport& report) noexcept {
    fold(round_, report);
    if (++reports_ != num_sessions_) return std::nullopt;
    reports_ = 0;
    fold(totals_, round_);
    return std::exchange(round_, SessionReport{});
}

}  // namespace brindlemoor
