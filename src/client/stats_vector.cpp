#include "stats_vector.hpp"

#include <cstddef>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "logging/logging.hpp"

namespace brindlemoor::stats_vector_detail {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor::stats_vector";

}  // namespace

SlotStorage allocate_slots(std::uint64_t window_size) {
    if (window_size == 0) return SlotStorage{};
    constexpr std::uint64_t kMaxWindowSize = std::numeric_limits<std::size_t>::max() / 2 / sizeof(Slot);
    Slot* slots = nullptr;
    if (window_size <= kMaxWindowSize) {
        // calloc checks the size and leaves the zeroing of fresh pages to the system.
        slots = static_cast<Slot*>(std::calloc(2 * static_cast<std::size_t>(window_size), sizeof(Slot)));
    }
    if (slots == nullptr) {
        throw std::length_error(
            fmt::format("cannot allocate 2 x {} sequence slots for the stats vector", window_size));
    }
    return SlotStorage{slots};
}

void log_event(Event event) {
    switch (event) {
        case Event::SendSeqTooHigh: logging::error(kLogTarget, "Send seq too high"); return;
        case Event::SendSeqTooLow: logging::error(kLogTarget, "Send seq too low"); return;
        case Event::ReceivedAboveActive:
            logging::error(kLogTarget, "Packet received with sequence number higher than active window");
            return;
        case Event::ReceivedBetweenWindows:
            logging::error(kLogTarget, "Packet received with sequence number between windows. This should not happen");
            return;
    }
}

}  // namespace brindlemoor::stats_vector_detail
