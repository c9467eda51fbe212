#include "logging/logging.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "log_filter.hpp"
#include "log_format.hpp"
#include "shared/std_streams.hpp"
#include "shared/timestamp.hpp"

namespace brindlemoor::logging {

namespace {

struct Subscriber {
    LogFilter filter;
    LogFormat format;
    bool colours;
};

constexpr std::string_view kLogTarget = "brindlemoor";

// Set once and never freed: events may come from any thread until the process ends.
std::atomic<const Subscriber*> installed_subscriber{nullptr};
std::atomic<bool> init_started{false};

std::string format_line(const Subscriber& subscriber, const LogEvent& event) {
    const auto now = WallClock::now();
    return subscriber.format == LogFormat::Json ? format_json_line(now, event)
                                                : format_text_line(now, event, subscriber.colours);
}

// Written by the standard-error writer where lines are missing, once it writes again.
std::string dropped_lines_report(std::uint64_t dropped) noexcept {
    const Subscriber* subscriber = installed_subscriber.load(std::memory_order_acquire);
    if (subscriber == nullptr || !subscriber->filter.enabled(Level::Warn, kLogTarget, {true, {}})) return {};
    try {
        const std::string message = fmt::format("Standard error was not being read: {} log lines dropped", dropped);
        return format_line(*subscriber, LogEvent{Level::Warn, kLogTarget, message, {}});
    } catch (...) {
        return {};
    }
}

}  // namespace

void init_logging(OutputMode output_mode) {
    // The filter and format are fixed by the first call; a later one would race emitters for no gain.
    if (init_started.exchange(true)) return;
    ParsedLogFilter parsed = parse_log_filter(filter_text_from_env(std::getenv("RUST_LOG")));
    for (const std::string& report : parsed.reports) {
        queue_log_line(fmt::format("{}\n", report));
    }
    const bool json = output_mode == OutputMode::JSON;
    const auto* subscriber = new Subscriber{std::move(parsed.filter), json ? LogFormat::Json : LogFormat::Text,
                                            !json && colours_from_env(std::getenv("NO_COLOR"))};
    installed_subscriber.store(subscriber, std::memory_order_release);
    set_dropped_log_lines_report(&dropped_lines_report);
}

bool enabled(Level level, std::string_view target, FieldNames names) noexcept {
    const Subscriber* subscriber = installed_subscriber.load(std::memory_order_acquire);
    return subscriber != nullptr && subscriber->filter.enabled(level, target, names);
}

void write_event(Level level, std::string_view target, std::optional<std::string_view> message,
                 std::span<const Field> fields) {
    const Subscriber* subscriber = installed_subscriber.load(std::memory_order_acquire);
    if (subscriber == nullptr) return;
    const LogEvent event{level, target, message, fields};
    try {
        queue_log_line(format_line(*subscriber, event));
    } catch (...) {
        // A line that cannot be formatted (out of memory) is dropped; logging never ends the caller's work.
    }
}

}  // namespace brindlemoor::logging
