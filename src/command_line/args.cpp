// The command line: the declaration table of the command, its value parsers and defaults, and the edge that
// matches the process's arguments (command_line), fills the record, and prints and exits on help, version or a
// usage error (command_line_text).
#include "command_line/args.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <unistd.h>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "command_line.hpp"
#include "command_line_text.hpp"
#include "shared/debug_text.hpp"
#include "shared/decimal.hpp"
#include "shared/std_streams.hpp"
#include "shared/utf8.hpp"
#include "version.hpp"

namespace brindlemoor {
namespace {

constexpr std::uint16_t kDefaultBasePort = 4000;
constexpr OutputMode kDefaultOutputMode = OutputMode::Standard;
constexpr std::uint16_t kDefaultNumSessions = 10;
constexpr std::uint64_t kDefaultInterval = 1000;
constexpr std::uint64_t kDefaultRate = 10;
constexpr bool kDefaultFlag = false;

// In the order that the parser tries them.
constexpr std::array<std::string_view, 3> kOutputModeTexts{as_str(OutputMode::Standard), as_str(OutputMode::Verbose),
                                                           as_str(OutputMode::JSON)};

template <typename T>
std::optional<std::string> store(T& field, ParsedValue<T> parsed) {
    if (auto* reason = std::get_if<std::string>(&parsed)) return std::move(*reason);
    field = std::get<T>(parsed);
    return std::nullopt;
}

// Flags hold "true" when present and parse their default text otherwise.
std::optional<std::string> store_flag(bool& field, std::string_view text) {
    if (text != "true" && text != "false") return std::string("value was not a boolean");
    field = text == "true";
    return std::nullopt;
}

constexpr std::array<ArgSpec, 12> kArgs{{
    {ArgKind::flag, 's', "server", "", "Server mode", "", false, {}, default_false,
     [](Args& a, std::string_view t) { return store_flag(a.server, t); }},
    {ArgKind::option, 'k', "key", "KEY", "Key", "", true, {}, nullptr,
     [](Args& a, std::string_view t) { return store(a.key, parse_u64_value(t)); }},
    {ArgKind::option, 'p', "port", "BASE_PORT", "Base port", "", false, {}, default_base_port,
     [](Args& a, std::string_view t) { return store(a.base_port, parse_u16_value(t)); }},
    {ArgKind::option, 'm', "output_mode", "OUTPUT_MODE", "Output mode", "", false, kOutputModeTexts,
     default_output_mode,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         const std::optional<OutputMode> mode = parse_output_mode(t);
         if (!mode) return std::string();
         a.output_mode = *mode;
         return std::nullopt;
     }},
    {ArgKind::option, 'n', "sessions", "NUM_SESSIONS", "Number of sessions", "", false, {}, default_num_sessions,
     [](Args& a, std::string_view t) { return store(a.num_sessions, parse_u16_value(t)); }},
    {ArgKind::option, 'i', "interval", "INTERVAL", "Interval in ms", "", false, {}, default_interval,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         const std::optional<std::uint64_t> interval = parse_interval(t);
         if (!interval) return std::string(kIntervalError);
         a.interval = *interval;
         return std::nullopt;
     }},
    {ArgKind::option, 'r', "rate", "RATE", "Rate packets per interval", "", false, {}, default_rate,
     [](Args& a, std::string_view t) { return store(a.rate, parse_u64_value(t)); }},
    {ArgKind::flag, 'x', "no_probe", "", "Disable probing of server configuration", "", false, {}, default_false,
     [](Args& a, std::string_view t) { return store_flag(a.no_probe, t); }},
    {ArgKind::option, 't', "tag", "TAG", "Tag", "", false, {}, nullptr,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         a.tag = std::string(t);
         return std::nullopt;
     }},
    {ArgKind::positional, '\0', "", "TARGET", "Target", "", false, {}, nullptr,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         a.target = std::string(t);
         return std::nullopt;
     }},
    {ArgKind::help, 'h', "help", "", "Print help (see more with '--help')", "Print help (see a summary with '-h')",
     false, {}, nullptr, nullptr},
    {ArgKind::version, 'V', "version", "", "Print version", "", false, {}, nullptr, nullptr},
}};

constexpr CommandDeclaration kCommand{"brindlemoor", "Network monitoring probe and server",
                                      "Multi-session constant rate network probe and server", kVersion, kArgs};

// The last path component of argv[0]; the command name when it has none or is not valid text.
std::string program_name(std::span<const std::string> argv) {
    if (argv.empty() || !is_valid_utf8(argv[0])) return std::string(kCommand.name);
    std::string_view path = argv[0];
    while (!path.empty()) {
        const std::size_t slash = path.rfind('/');
        const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (last == "..") break;
        if (!last.empty() && last != ".") return std::string(last);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    }
    return std::string(kCommand.name);
}

// Parses an argument's value into the record; the refusal as a usage error.
std::optional<UsageError> store_value(Args& args, std::size_t index, std::string_view value) {
    std::optional<std::string> refusal = kArgs[index].store(args, value);
    if (!refusal) return std::nullopt;
    return UsageError{UsageError::Kind::invalid_value, index, std::string(value), std::move(*refusal), {}};
}

// Stores the values of the arguments that took effect, in that order; the first refusal ends it.
std::optional<UsageError> store_given(Args& args, std::span<const Occurrence> occurrences) {
    for (const Occurrence& occurrence : occurrences) {
        const ArgSpec& spec = kArgs[occurrence.arg];
        if (spec.store == nullptr) continue;
        const std::string_view value = spec.kind == ArgKind::flag ? std::string_view("true") : occurrence.value;
        if (std::optional<UsageError> refusal = store_value(args, occurrence.arg, value)) return refusal;
    }
    return std::nullopt;
}

// An argument that took no effect takes its default text, through its own value parser.
std::optional<UsageError> store_defaults(Args& args, std::span<const Occurrence> occurrences) {
    for (std::size_t index = 0; index < kArgs.size(); ++index) {
        const auto given = [index](const Occurrence& occurrence) { return occurrence.arg == index; };
        if (kArgs[index].default_text == nullptr || std::ranges::any_of(occurrences, given)) continue;
        if (std::optional<UsageError> refusal = store_value(args, index, kArgs[index].default_text())) return refusal;
    }
    return std::nullopt;
}

std::optional<std::string> environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// The text of a constant as {fmt} writes it, made once.
template <auto kValue>
std::string_view constant_text() {
    static const std::string text = fmt::format("{}", kValue);
    return text;
}

std::string debug_optional(const std::optional<std::string>& text) {
    return text ? fmt::format("Some({})", debug_quoted(*text)) : std::string("None");
}

}  // namespace

ParsedValue<std::uint64_t> parse_u64_value(std::string_view text) {
    const auto parsed = parse_decimal<std::uint64_t>(text);
    if (const auto* error = std::get_if<IntegerError>(&parsed)) return std::string(integer_error_text(*error));
    return std::get<std::uint64_t>(parsed);
}

ParsedValue<std::uint16_t> parse_u16_value(std::string_view text) {
    const auto parsed = parse_decimal<std::int64_t>(text);
    if (const auto* error = std::get_if<IntegerError>(&parsed)) return std::string(integer_error_text(*error));
    const std::int64_t value = std::get<std::int64_t>(parsed);
    constexpr std::int64_t kMax = std::numeric_limits<std::uint16_t>::max();
    if (value < 0 || value > kMax) return fmt::format("{} is not in 0..={}", value, kMax);
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint64_t> parse_interval(std::string_view text) {
    const auto parsed = parse_decimal<std::uint64_t>(text);
    const auto* value = std::get_if<std::uint64_t>(&parsed);
    if (value == nullptr || *value <= 5) return std::nullopt;
    return *value;
}

std::string_view default_base_port() { return constant_text<kDefaultBasePort>(); }
std::string_view default_output_mode() { return as_str(kDefaultOutputMode); }
std::string_view default_num_sessions() { return constant_text<kDefaultNumSessions>(); }
std::string_view default_interval() { return constant_text<kDefaultInterval>(); }
std::string_view default_rate() { return constant_text<kDefaultRate>(); }
std::string_view default_false() { return constant_text<kDefaultFlag>(); }

bool colours_wanted(const ColourEnvironment& environment, bool is_terminal) {
    if (environment.no_color && !environment.no_color->empty()) return false;
    if (environment.clicolor_force && *environment.clicolor_force != "0") return true;
    const bool clicolor_set = environment.clicolor.has_value();
    if (clicolor_set && *environment.clicolor == "0") return false;
    if (!is_terminal) return false;
    const bool term_has_colours = environment.term && *environment.term != "dumb";
    return term_has_colours || clicolor_set || environment.ci.has_value();
}

ParseOutcome parse_command_line(std::span<const std::string> argv, TextColours colours) {
    const std::string program = program_name(argv);
    const auto usage_error = [&](const UsageError& error) {
        return ExitText{ExitText::Stream::standard_error,
                        usage_error_text(kCommand, program, error, colours.standard_error), 2};
    };
    const ArgumentMatch match = match_arguments(kArgs, argv.empty() ? argv : argv.subspan(1));
    Args args;
    if (std::optional<UsageError> refusal = store_given(args, match.occurrences)) return usage_error(*refusal);
    if (const auto* help = std::get_if<HelpRequested>(&match.end)) {
        return ExitText{ExitText::Stream::standard_output,
                        help_text(kCommand, program, help->long_form, colours.standard_output), 0};
    }
    if (std::holds_alternative<VersionRequested>(match.end)) {
        return ExitText{ExitText::Stream::standard_output, version_text(kCommand), 0};
    }
    if (const auto* error = std::get_if<UsageError>(&match.end)) return usage_error(*error);
    if (std::optional<UsageError> refusal = store_defaults(args, match.occurrences)) return usage_error(*refusal);
    return args;
}

Args Args::parse(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + (argc > 0 ? argc : 0));
    const ColourEnvironment environment{environment_variable("NO_COLOR"), environment_variable("CLICOLOR_FORCE"),
                                        environment_variable("CLICOLOR"), environment_variable("TERM"),
                                        environment_variable("CI")};
    const TextColours colours{colours_wanted(environment, ::isatty(STDOUT_FILENO) == 1),
                              colours_wanted(environment, ::isatty(STDERR_FILENO) == 1)};
    ParseOutcome outcome = parse_command_line(arguments, colours);
    if (Args* args = std::get_if<Args>(&outcome)) return std::move(*args);
    const ExitText& exit_text = std::get<ExitText>(outcome);
    // A failed write changes nothing: the exit status stays the same.
    if (exit_text.stream == ExitText::Stream::standard_output) {
        queue_stdout(exit_text.text);
    } else {
        queue_stderr(exit_text.text);
    }
    exit_process(exit_text.exit_status);
}

std::string Args::dump() const {
    return fmt::format(
        "Args {{ server: {}, key: {}, base_port: {}, output_mode: {}, num_sessions: {}, interval: {}, rate: {}, "
        "no_probe: {}, tag: {}, target: {} }}",
        server, key, base_port, variant_name(output_mode), num_sessions, interval, rate, no_probe,
        debug_optional(tag), debug_optional(target));
}

}  // namespace brindlemoor
