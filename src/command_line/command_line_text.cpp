#include "command_line_text.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

namespace brindlemoor {
namespace {

// The help is laid out for this width, whatever the terminal's.
constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kLongHelpIndent = 10;

class Paint {
public:
    explicit Paint(bool enabled) : enabled_(enabled) {}

    std::string error(std::string_view text) const { return styled("\x1b[1m\x1b[31m", text); }
    std::string header(std::string_view text) const { return styled("\x1b[1m\x1b[4m", text); }
    std::string literal(std::string_view text) const { return styled("\x1b[1m", text); }
    std::string invalid(std::string_view text) const { return styled("\x1b[33m", text); }
    std::string valid(std::string_view text) const { return styled("\x1b[32m", text); }

private:
    std::string styled(std::string_view codes, std::string_view text) const {
        if (!enabled_) return std::string(text);
        return fmt::format("{}{}\x1b[0m", codes, text);
    }

    bool enabled_;
};

// An argument as errors and the usage line show it: "--key <KEY>", "--server", "[TARGET]".
std::string display_name(const ArgSpec& spec) {
    if (spec.kind == ArgKind::positional) return fmt::format("[{}]", spec.value_name);
    if (!spec.takes_value()) return fmt::format("--{}", spec.long_name);
    return fmt::format("--{} <{}>", spec.long_name, spec.value_name);
}

std::string value_list(const ArgSpec& spec, const Paint& paint) {
    std::string values;
    for (const std::string_view value : spec.possible_values) {
        if (!values.empty()) values += ", ";
        values += paint.valid(value);
    }
    return values;
}

// "Usage: NAME [OPTIONS] --key <KEY> [TARGET]" and a newline.
// The pieces are formatted, not joined as " " + std::string: GCC 12 reports a false -Wrestrict (GCC bug 105329) at -O3 for a one-character literal + std::string.
std::string usage_line(const CommandDeclaration& command, std::string_view program, const Paint& paint) {
    std::string line = fmt::format("{} {} [OPTIONS]", paint.header("Usage:"), paint.literal(program));
    for (const ArgSpec& spec : command.args) {
        if (!spec.required || spec.kind == ArgKind::positional) continue;
        line += fmt::format(" {}", paint.literal(fmt::format("--{}", spec.long_name)));
        if (spec.takes_value()) line += fmt::format(" <{}>", spec.value_name);
    }
    for (const ArgSpec& spec : command.args) {
        if (spec.kind == ArgKind::positional) line += fmt::format(" {}", display_name(spec));
    }
    return line + "\n";
}

// Greedy word wrap; a word longer than the width stands alone on its line.
std::vector<std::string> wrap_words(std::string_view text, std::size_t width) {
    std::vector<std::string> lines;
    std::string line;
    while (!text.empty()) {
        const std::size_t end = text.find(' ');
        const std::string_view word = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (word.empty()) continue;
        if (line.empty()) {
            line = word;
        } else if (line.size() + 1 + word.size() <= width) {
            line += ' ';
            line += word;
        } else {
            lines.push_back(std::move(line));
            line = word;
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

struct HelpEntry {
    std::string names;  // plain, for the column width
    std::string styled_names;
    std::string_view help;
    std::vector<std::string> notes;  // "[default: ...]", "[possible values: ...]"
};

HelpEntry help_entry(const ArgSpec& spec, bool long_form, const Paint& paint) {
    HelpEntry entry{{}, {}, long_form && !spec.long_help.empty() ? spec.long_help : spec.help, {}};
    // Flags show no default.
    if (spec.takes_value() && spec.default_text != nullptr && !spec.default_text().empty()) {
        entry.notes.push_back(fmt::format("[default: {}]", spec.default_text()));
    }
    if (!spec.possible_values.empty()) {
        entry.notes.push_back(fmt::format("[possible values: {}]", value_list(spec, Paint(false))));
    }
    if (spec.kind == ArgKind::positional) {
        entry.names = entry.styled_names = display_name(spec);
        return entry;
    }
    const std::string short_name = fmt::format("-{}", spec.short_name);
    const std::string long_name = fmt::format("--{}", spec.long_name);
    entry.names = short_name + ", " + long_name;
    entry.styled_names = paint.literal(short_name) + ", " + paint.literal(long_name);
    if (spec.takes_value()) {
        const std::string value = fmt::format(" <{}>", spec.value_name);
        entry.names += value;
        entry.styled_names += value;
    }
    return entry;
}

// Short form: names and help text side by side, the help text wrapped under its own column.
std::string short_entries(const std::vector<HelpEntry>& entries) {
    std::size_t longest = 0;
    for (const HelpEntry& entry : entries) longest = std::max(longest, entry.names.size());
    const std::size_t help_column = 2 + longest + 2;
    const std::size_t width = kHelpWidth > help_column ? kHelpWidth - help_column : 1;
    std::string out;
    for (const HelpEntry& entry : entries) {
        std::string text(entry.help);
        for (const std::string& note : entry.notes) text += " " + note;
        out += "  " + entry.styled_names + std::string(longest - entry.names.size() + 2, ' ');
        const std::vector<std::string> lines = wrap_words(text, width);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i > 0) out += std::string(help_column, ' ');
            out += lines[i] + "\n";
        }
    }
    return out;
}

// Long form: names on one line, the help text below them, its notes after a blank line, entries apart.
std::string long_entries(const std::vector<HelpEntry>& entries) {
    const std::string indent(kLongHelpIndent, ' ');
    std::string out;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const HelpEntry& entry = entries[e];
        if (e > 0) out += "\n";
        out += "  " + entry.styled_names + "\n";
        std::vector<std::string> paragraphs{std::string(entry.help)};
        if (!entry.notes.empty()) paragraphs.emplace_back();
        paragraphs.insert(paragraphs.end(), entry.notes.begin(), entry.notes.end());
        for (const std::string& paragraph : paragraphs) {
            if (paragraph.empty()) {
                out += "\n";
                continue;
            }
            for (const std::string& line : wrap_words(paragraph, kHelpWidth - kLongHelpIndent)) {
                out += indent + line + "\n";
            }
        }
    }
    return out;
}

// The message of an error and whether the usage line follows it.
std::pair<std::string, bool> error_message(const CommandDeclaration& command, const UsageError& error,
                                           const Paint& paint) {
    // The argument concerned, for the kinds that have one.
    const auto spec = [&]() -> const ArgSpec& { return command.args[error.arg]; };
    const auto possible_values = [&] {
        return spec().possible_values.empty() ? std::string()
                                              : fmt::format("\n  [possible values: {}]", value_list(spec(), paint));
    };
    const auto value_required = [&] {
        return fmt::format("a value is required for '{}' but none was supplied",
                           paint.literal(display_name(spec()))) +
               possible_values();
    };
    switch (error.kind) {
        case UsageError::Kind::unexpected_argument:
            return {fmt::format("unexpected argument '{}' found", paint.invalid(error.text)), true};
        case UsageError::Kind::unexpected_value:
            return {fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                                paint.invalid(error.text), paint.literal(display_name(spec()))),
                    true};
        case UsageError::Kind::value_required:
            return {value_required(), false};
        case UsageError::Kind::used_multiple_times:
            return {fmt::format("the argument '{}' cannot be used multiple times",
                                paint.invalid(display_name(spec()))),
                    true};
        case UsageError::Kind::invalid_value: {
            // A parser that names no reason picks from possible values; for an empty value it asks for one.
            if (error.reason.empty() && error.text.empty()) return {value_required(), false};
            std::string message = fmt::format("invalid value '{}' for '{}'", paint.invalid(error.text),
                                              paint.literal(display_name(spec())));
            if (!error.reason.empty()) message += ": " + error.reason;
            return {message + possible_values(), false};
        }
        case UsageError::Kind::missing_required: {
            std::string message = "the following required arguments were not provided:";
            for (const std::size_t index : error.missing) {
                message += "\n  " + paint.valid(display_name(command.args[index]));
            }
            return {message, true};
        }
        case UsageError::Kind::invalid_utf8:
            return {"invalid UTF-8 was detected in one or more arguments", true};
    }
    return {"", true};
}

}  // namespace

std::string help_text(const CommandDeclaration& command, std::string_view program, bool long_form, bool colours) {
    const Paint paint(colours);
    std::vector<HelpEntry> arguments;
    std::vector<HelpEntry> options;
    for (const ArgSpec& spec : command.args) {
        (spec.kind == ArgKind::positional ? arguments : options).push_back(help_entry(spec, long_form, paint));
    }
    const auto entries = long_form ? long_entries : short_entries;
    return fmt::format("{}\n\n{}\n{}\n{}\n{}\n{}", long_form ? command.long_about : command.about,
                       usage_line(command, program, paint), paint.header("Arguments:"), entries(arguments),
                       paint.header("Options:"), entries(options));
}

std::string version_text(const CommandDeclaration& command) {
    return fmt::format("{} {}\n", command.name, command.version);
}

std::string usage_error_text(const CommandDeclaration& command, std::string_view program, const UsageError& error,
                             bool colours) {
    const Paint paint(colours);
    const auto [message, with_usage] = error_message(command, error, paint);
    std::string text = fmt::format("{} {}\n", paint.error("error:"), message);
    // Formatted, not "\n" + std::string: GCC 12 reports a false -Wrestrict (GCC bug 105329) at -O3 for a one-character literal + std::string.
    if (with_usage) text += fmt::format("\n{}", usage_line(command, program, paint));
    text += fmt::format("\nFor more information, try '{}'.\n", paint.literal("--help"));
    return text;
}

}  // namespace brindlemoor
