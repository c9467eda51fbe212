#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/logging.hpp"

// The log filter read from RUST_LOG: comma-separated directives that set, per target prefix and per field that an
// event carries, the most verbose level let through. Pure: no environment, no output.
namespace brindlemoor::logging {

// The most verbose level a directive lets through; Off lets nothing through. The values are the digits that
// RUST_LOG accepts for them.
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// "off", "error", "warn", "info", "debug", "trace" in any letter case, or one digit 0-5.
std::optional<LevelFilter> parse_level_filter(std::string_view text);

class LogFilter {
public:
    // Lets nothing through.
    LogFilter() = default;

    // Whether an event passes: of the directives whose target is a prefix of the event's target (or that have
    // none) and whose field, if they name one, the event carries, the most specific decides: the longest target
    // first, then one that names a field; an event no directive matches is dropped. Cheap and allocation free,
    // since it runs for every event, also for the many that are filtered out; the names are looked at only when
    // a directive names a field.
    bool enabled(Level level, std::string_view target, FieldNames names) const noexcept;

private:
    friend struct LogFilterBuilder;

    struct EventDirective {
        std::optional<std::string> target;  // none: every target
        std::optional<std::string> field_name;  // none: any event
        LevelFilter level;
    };

    std::vector<EventDirective> directives_;  // most specific first, one per target and field name
    LevelFilter most_verbose_ = LevelFilter::Off;  // across all directives, to drop most events at once
};

struct ParsedLogFilter {
    LogFilter filter;
    // One "ignoring `<piece>`: <reason>" line (without newline) per unusable piece, in piece order.
    std::vector<std::string> reports;
};

// Builds the filter from RUST_LOG's text; with no usable directive the filter is INFO for every target.
ParsedLogFilter parse_log_filter(std::string_view text);

// The filter text for RUST_LOG's raw value: empty when the variable is unset or not valid UTF-8.
std::string_view filter_text_from_env(const char* rust_log);

}  // namespace brindlemoor::logging
