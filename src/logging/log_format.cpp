#include "log_format.hpp"

#include <iterator>

#include <fmt/format.h>

#include "shared/debug_text.hpp"
#include "shared/utf8.hpp"

namespace brindlemoor::logging {

namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kItalic = "\x1b[3m";

std::string_view padded_level(Level level) {
    switch (level) {
        case Level::Trace: return "TRACE";
        case Level::Debug: return "DEBUG";
        case Level::Info: return " INFO";
        case Level::Warn: return " WARN";
        case Level::Error: return "ERROR";
    }
    return "ERROR";
}

std::string_view level_name(Level level) {
    const std::string_view padded = padded_level(level);
    return padded.front() == ' ' ? padded.substr(1) : padded;
}

std::string_view level_colour(Level level) {
    switch (level) {
        case Level::Trace: return "\x1b[35m";
        case Level::Debug: return "\x1b[34m";
        case Level::Info: return "\x1b[32m";
        case Level::Warn: return "\x1b[33m";
        case Level::Error: return "\x1b[31m";
    }
    return "\x1b[31m";
}

void append_styled(std::string& out, bool colours, std::string_view style, std::string_view text) {
    if (!colours) {
        out += text;
        return;
    }
    out += style;
    out += text;
    out += kReset;
}

// Control characters that would act on a terminal are shown as escapes; newline, tab and CR stay as they are.
// Bytes that are not valid UTF-8 are kept unchanged.
struct MessageEscapes {
    static bool escapes(char32_t code_point) {
        return code_point == 0x1b || code_point == 0x07 || code_point == 0x08 || code_point == 0x0c ||
               code_point == 0x7f || (code_point >= 0x80 && code_point <= 0x9f);
    }

    static void append_escape(std::string& out, char32_t code_point) {
        if (code_point < 0x80) {
            fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<unsigned>(code_point));
        } else {
            fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<unsigned>(code_point));
        }
    }

    static void append_invalid(std::string& out, unsigned char byte) { out.push_back(static_cast<char>(byte)); }
};

// JSON string contents; bytes that are not valid UTF-8 become U+FFFD so that the line stays valid JSON.
struct JsonEscapes {
    static bool escapes(char32_t code_point) { return code_point < 0x20 || code_point == '"' || code_point == '\\'; }

    static void append_escape(std::string& out, char32_t code_point) {
        switch (code_point) {
            case '"': out += "\\\""; return;
            case '\\': out += "\\\\"; return;
            case '\b': out += "\\b"; return;
            case '\f': out += "\\f"; return;
            case '\n': out += "\\n"; return;
            case '\r': out += "\\r"; return;
            case '\t': out += "\\t"; return;
            default: fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(code_point));
        }
    }

    static void append_invalid(std::string& out, unsigned char) { out += "\xef\xbf\xbd"; }
};

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    append_escaped(out, text, JsonEscapes{});
    out.push_back('"');
}

void append_text_value(std::string& out, const Field& field) {
    switch (field.kind) {
        case Field::Kind::Text: append_debug_quoted(out, field.text); break;
        case Field::Kind::Unsigned: fmt::format_to(std::back_inserter(out), "{}", field.unsigned_value); break;
        case Field::Kind::Flag: out += field.flag ? "true" : "false"; break;
        case Field::Kind::Display: out += field.text; break;
        case Field::Kind::Absent: break;
    }
}

void append_json_value(std::string& out, const Field& field) {
    switch (field.kind) {
        case Field::Kind::Text:
        case Field::Kind::Display: append_json_string(out, field.text); break;
        case Field::Kind::Unsigned: fmt::format_to(std::back_inserter(out), "{}", field.unsigned_value); break;
        case Field::Kind::Flag: out += field.flag ? "true" : "false"; break;
        case Field::Kind::Absent: break;
    }
}

}  // namespace

std::string format_text_line(WallClock::time_point time, const LogEvent& event, bool colours) {
    std::string line;
    line.reserve(128);
    append_styled(line, colours, kDim, format_log_timestamp(time));
    line.push_back(' ');
    append_styled(line, colours, level_colour(event.level), padded_level(event.level));
    line.push_back(' ');
    append_styled(line, colours, kDim, event.target);
    append_styled(line, colours, kDim, ":");
    line.push_back(' ');
    bool first = true;
    if (event.message) {
        append_escaped(line, *event.message, MessageEscapes{});
        first = false;
    }
    for (const Field& field : event.fields) {
        // "log."-prefixed fields carry metadata of forwarded records, not event data.
        if (field.kind == Field::Kind::Absent || field.name.starts_with("log.")) continue;
        if (!first) line.push_back(' ');
        first = false;
        append_styled(line, colours, kItalic, field.name);
        append_styled(line, colours, kDim, "=");
        append_text_value(line, field);
    }
    line.push_back('\n');
    return line;
}

std::string format_json_line(WallClock::time_point time, const LogEvent& event) {
    std::string line;
    line.reserve(128);
    line += "{\"timestamp\":";
    append_json_string(line, format_log_timestamp(time));
    line += ",\"level\":";
    append_json_string(line, level_name(event.level));
    if (event.message) {
        line += ",\"message\":";
        append_json_string(line, *event.message);
    }
    for (const Field& field : event.fields) {
        if (field.kind == Field::Kind::Absent) continue;
        line.push_back(',');
        append_json_string(line, field.name);
        line.push_back(':');
        append_json_value(line, field);
    }
    line += ",\"target\":";
    append_json_string(line, event.target);
    line += "}\n";
    return line;
}

bool colours_from_env(const char* no_color) {
    if (no_color == nullptr) return true;
    const std::string_view value(no_color);
    return value.empty() || !is_valid_utf8(value);
}

}  // namespace brindlemoor::logging
