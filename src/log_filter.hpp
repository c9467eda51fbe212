#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging.hpp"

// The log filter read from RUST_LOG: comma-separated directives that set, per target prefix, the most verbose
// level let through. Pure: no environment, no output.
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

    // Whether an event passes: the directive with the longest target that is a prefix of the event's target
    // decides, the level-only directive last; an event no directive matches is dropped. Cheap and allocation
    // free, since it runs for every event, also for the many that are filtered out.
    bool enabled(Level level, std::string_view target) const noexcept;

private:
    friend struct LogFilterBuilder;

    struct TargetDirective {
        std::string target;
        LevelFilter level;
    };

    std::vector<TargetDirective> by_target_;  // longest target first, one per target
    std::optional<LevelFilter> default_level_;
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
