#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "shared/output_mode.hpp"

namespace brindlemoor {

// The parsed command line; the field order is also the order of the help and of the debug dump.
struct Args {
    bool server{};
    std::uint64_t key{};
    std::uint16_t base_port{};
    OutputMode output_mode{};
    std::uint16_t num_sessions{};
    std::uint64_t interval{};
    std::uint64_t rate{};
    bool no_probe{};
    std::optional<std::string> tag;
    std::optional<std::string> target;

    // Parses the process's arguments. On help or version it prints to standard output and ends the process
    // with status 0; on a usage error it prints to standard error and ends the process with status 2.
    static Args parse(int argc, char** argv);

    // The debug form: "Args { server: false, key: 5, ..., tag: None, target: Some(\"127.0.0.1\") }".
    std::string dump() const;
};

// What ends a parse without a record: help and version (standard output, status 0) or a usage error
// (standard error, status 2).
struct ExitText {
    enum class Stream { standard_output, standard_error };
    Stream stream;
    std::string text;
    int exit_status;
};

using ParseOutcome = std::variant<Args, ExitText>;

// Whether the texts meant for each stream carry terminal colours.
struct TextColours {
    bool standard_output = false;
    bool standard_error = false;
};

// Matches `argv` (argv[0] names the program) against the command's declaration, without any I/O.
ParseOutcome parse_command_line(std::span<const std::string> argv, TextColours colours);

// The environment variables that decide about colours; absent ones are nullopt.
struct ColourEnvironment {
    std::optional<std::string> no_color;
    std::optional<std::string> clicolor_force;
    std::optional<std::string> clicolor;
    std::optional<std::string> term;
    std::optional<std::string> ci;
};

// NO_COLOR (non-empty) turns colours off, CLICOLOR_FORCE (not "0") on, CLICOLOR "0" off; otherwise only a
// terminal gets them, and only when TERM is set and not "dumb", CLICOLOR is enabled, or CI is set.
bool colours_wanted(const ColourEnvironment& environment, bool is_terminal);

// A value parser's result: the value, or the reason it was refused.
template <typename T>
using ParsedValue = std::variant<T, std::string>;

// Decimal unsigned 64-bit number with one optional leading '+' (--key, --rate).
ParsedValue<std::uint64_t> parse_u64_value(std::string_view text);

// Decimal signed 64-bit number that must lie in 0..=65535 (--port, --sessions).
ParsedValue<std::uint16_t> parse_u16_value(std::string_view text);

// Milliseconds, more than 5; a refusal of any kind has the text of kIntervalError.
inline constexpr std::string_view kIntervalError = "Interval must be larger than 5ms";
std::optional<std::uint64_t> parse_interval(std::string_view text);

// The default texts of the arguments, made once from typed constants.
std::string_view default_base_port();
std::string_view default_output_mode();
std::string_view default_num_sessions();
std::string_view default_interval();
std::string_view default_rate();
std::string_view default_false();

}  // namespace brindlemoor
