#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "shared/output_mode.hpp"

// Structured diagnostics on standard error. Every module emits events through the functions below; the
// filter (from RUST_LOG) is asked first, so a dropped event formats nothing.
namespace brindlemoor::logging {

// From most to least verbose.
enum class Level : std::uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

// One named value of an event. The kind decides how the value is printed.
struct Field {
    enum class Kind : std::uint8_t { Text, Unsigned, Flag, Display, Absent };

    std::string_view name;
    Kind kind = Kind::Absent;
    std::string_view text;  // Text, Display
    std::uint64_t unsigned_value = 0;
    bool flag = false;

    // A text: quoted and escaped in text lines, a JSON string in JSON lines.
    static Field text_value(std::string_view name, std::string_view value) {
        return Field{name, Kind::Text, value, 0, false};
    }
    // A text that may be absent; an absent one is not recorded at all.
    static Field optional_text(std::string_view name, const std::optional<std::string>& value) {
        return value ? text_value(name, *value) : Field{name, Kind::Absent, {}, 0, false};
    }
    static Field unsigned_number(std::string_view name, std::uint64_t value) {
        return Field{name, Kind::Unsigned, {}, value, false};
    }
    static Field flag_value(std::string_view name, bool value) { return Field{name, Kind::Flag, {}, 0, value}; }
    // A display text (the output mode, say): unquoted in text lines, a JSON string in JSON lines.
    static Field display(std::string_view name, std::string_view value) {
        return Field{name, Kind::Display, value, 0, false};
    }
};

// The names of the fields an event carries, absent optional ones included: a filter directive that names a field
// lets through only the events that carry it.
struct FieldNames {
    bool message = false;  // the event has a message, the field "message"
    std::span<const Field> fields;

    bool contains(std::string_view name) const noexcept {
        if (message && name == "message") return true;
        for (const Field& field : fields) {
            if (field.name == name) return true;
        }
        return false;
    }
};

// Installs the process-wide subscriber: reads RUST_LOG (reporting unusable entries on standard error) and
// NO_COLOR, and picks JSON lines for OutputMode::JSON, text lines otherwise. Called once, before any event.
void init_logging(OutputMode output_mode);

// Whether an event of this level and target, with these fields, passes the installed filter; false before
// init_logging.
bool enabled(Level level, std::string_view target, FieldNames names) noexcept;

// Formats one event that has passed the filter and queues its line for standard error, where it is dropped when
// the queue is full (std_streams). An absent message means the event has none.
void write_event(Level level, std::string_view target, std::optional<std::string_view> message,
                 std::span<const Field> fields);

// An event with a message made from a format string, and no further fields.
template <typename... Args>
void log(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    if (!enabled(level, target, {true, {}})) return;
    const std::string message = fmt::format(format, std::forward<Args>(args)...);
    write_event(level, target, message, {});
}

// An event with a message and further fields, in the given order.
template <typename... Args>
void log_with_fields(Level level, std::string_view target, std::initializer_list<Field> fields,
                     fmt::format_string<Args...> format, Args&&... args) {
    const std::span<const Field> field_span(fields.begin(), fields.size());
    if (!enabled(level, target, {true, field_span})) return;
    const std::string message = fmt::format(format, std::forward<Args>(args)...);
    write_event(level, target, message, field_span);
}

// An event without a message: only the given fields.
inline void log_fields(Level level, std::string_view target, std::initializer_list<Field> fields) {
    const std::span<const Field> field_span(fields.begin(), fields.size());
    if (!enabled(level, target, {false, field_span})) return;
    write_event(level, target, std::nullopt, field_span);
}

template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Debug, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Info, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Warn, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Error, target, format, std::forward<Args>(args)...);
}

}  // namespace brindlemoor::logging
