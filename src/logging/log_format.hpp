#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "logging/logging.hpp"
#include "shared/timestamp.hpp"

// The two log line formats. Pure: the caller supplies the time and writes the line.
namespace brindlemoor::logging {

enum class LogFormat : std::uint8_t { Text, Json };

struct LogEvent {
    Level level;
    std::string_view target;
    std::optional<std::string_view> message;  // absent: the line starts with the first field
    std::span<const Field> fields;
};

// "<timestamp> <level padded to 5> <target>: <message> name=value ...\n", optionally with colour sequences.
std::string format_text_line(WallClock::time_point time, const LogEvent& event, bool colours);

// {"timestamp":..,"level":..,"message":..,<fields>..,"target":..} and a newline; keys are never merged.
std::string format_json_line(WallClock::time_point time, const LogEvent& event);

// Colours are on unless NO_COLOR holds a non-empty, valid UTF-8 value.
bool colours_from_env(const char* no_color);

}  // namespace brindlemoor::logging
