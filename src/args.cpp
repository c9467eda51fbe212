// The command line. CLI11 holds the declaration (names, value names, help texts, defaults, the required key) and
// does the matching: it tokenises ("-k5", "-k 5", "--key=5", "--key 5", grouped flags such as "-sx", "--"), hands
// each option its value, sets aside what it cannot place, and renders the help through our formatter. Its wider
// language stays off: no config file, environment, case or underscore folding, or "/opt" options, and a value
// given to a flag is refused. Our code adds what CLI11 cannot tell us: a pre-scan refuses arguments that are not
// UTF-8; every option reports each occurrence the moment CLI11 meets it (trigger_on_parse), so help and version
// act when met, repeats are counted and our value parsers run in command-line order, the first fault ending the
// parse; an argument that CLI11 set aside before that point is the fault that came first.
#include "args.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "debug_text.hpp"
#include "utf8.hpp"
#include "decimal.hpp"
#include "std_streams.hpp"
#include "version.hpp"

namespace brindlemoor {
namespace {

constexpr std::string_view kCommandName = "brindlemoor";
constexpr std::string_view kAbout = "Network monitoring probe and server";
constexpr std::string_view kLongAbout = "Multi-session constant rate network probe and server";

constexpr std::uint16_t kDefaultBasePort = 4000;
constexpr OutputMode kDefaultOutputMode = OutputMode::Standard;
constexpr std::uint16_t kDefaultNumSessions = 10;
constexpr std::uint64_t kDefaultInterval = 1000;
constexpr std::uint64_t kDefaultRate = 10;
constexpr bool kDefaultFlag = false;

constexpr std::array kOutputModes{OutputMode::Standard, OutputMode::Verbose, OutputMode::JSON};

constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kLongHelpIndent = 10;

// ---- the declaration ----

enum class ArgKind { flag, option, positional, help, version };

// Stores a parsed value into the record; returns the refusal reason, empty when the refusal has none.
using ApplyValue = std::optional<std::string> (*)(Args&, std::string_view);

struct ArgSpec {
    ArgKind kind;
    char short_name;              // '\0' for the positional
    std::string_view long_name;   // empty for the positional
    std::string_view value_name;  // empty for flags
    std::string_view help;
    std::string_view long_help;   // empty: the same as `help`
    bool required;
    bool lists_output_modes;
    std::string_view (*default_text)();  // nullptr: none
    ApplyValue apply;                    // nullptr for help and version
};

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

const std::array<ArgSpec, 12> kArgs{{
    {ArgKind::flag, 's', "server", "", "Server mode", "", false, false, default_false,
     [](Args& a, std::string_view t) { return store_flag(a.server, t); }},
    {ArgKind::option, 'k', "key", "KEY", "Key", "", true, false, nullptr,
     [](Args& a, std::string_view t) { return store(a.key, parse_u64_value(t)); }},
    {ArgKind::option, 'p', "port", "BASE_PORT", "Base port", "", false, false, default_base_port,
     [](Args& a, std::string_view t) { return store(a.base_port, parse_u16_value(t)); }},
    {ArgKind::option, 'm', "output_mode", "OUTPUT_MODE", "Output mode", "", false, true, default_output_mode,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         const std::optional<OutputMode> mode = parse_output_mode(t);
         if (!mode) return std::string();
         a.output_mode = *mode;
         return std::nullopt;
     }},
    {ArgKind::option, 'n', "sessions", "NUM_SESSIONS", "Number of sessions", "", false, false, default_num_sessions,
     [](Args& a, std::string_view t) { return store(a.num_sessions, parse_u16_value(t)); }},
    {ArgKind::option, 'i', "interval", "INTERVAL", "Interval in ms", "", false, false, default_interval,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         const std::optional<std::uint64_t> interval = parse_interval(t);
         if (!interval) return std::string(kIntervalError);
         a.interval = *interval;
         return std::nullopt;
     }},
    {ArgKind::option, 'r', "rate", "RATE", "Rate packets per interval", "", false, false, default_rate,
     [](Args& a, std::string_view t) { return store(a.rate, parse_u64_value(t)); }},
    {ArgKind::flag, 'x', "no_probe", "", "Disable probing of server configuration", "", false, false, default_false,
     [](Args& a, std::string_view t) { return store_flag(a.no_probe, t); }},
    {ArgKind::option, 't', "tag", "TAG", "Tag", "", false, false, nullptr,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         a.tag = std::string(t);
         return std::nullopt;
     }},
    {ArgKind::positional, '\0', "", "TARGET", "Target", "", false, false, nullptr,
     [](Args& a, std::string_view t) -> std::optional<std::string> {
         a.target = std::string(t);
         return std::nullopt;
     }},
    {ArgKind::help, 'h', "help", "", "Print help (see more with '--help')", "Print help (see a summary with '-h')",
     false, false, nullptr, nullptr},
    {ArgKind::version, 'V', "version", "", "Print version", "", false, false, nullptr, nullptr},
}};

bool is_flag(const ArgSpec& spec) {
    return spec.kind == ArgKind::flag || spec.kind == ArgKind::help || spec.kind == ArgKind::version;
}

// The entry of the table that a CLI11 option was declared from.
const ArgSpec& spec_of(const CLI::Option& option) {
    return *std::ranges::find_if(kArgs, [&option](const ArgSpec& spec) {
        if (spec.kind == ArgKind::positional) return option.get_positional();
        return option.check_lname(std::string(spec.long_name));
    });
}

bool takes_value(const CLI::Option& option) { return option.get_positional() || option.get_expected_max() > 0; }

// CLI::App with a view of the arguments it set aside, which it keeps together with how it read each of them.
class CommandApp : public CLI::App {
public:
    // The first argument set aside, as usage errors name it: a long option without its "=value", the first
    // character of an unknown short option, any other argument whole. "--" only switches to positionals.
    std::optional<std::string> first_unexpected() const {
        for (const auto& [classifier, text] : missing_) {
            switch (classifier) {
                case CLI::detail::Classifier::POSITIONAL_MARK:
                    continue;
                case CLI::detail::Classifier::LONG: {
                    const std::size_t equals = text.find('=');
                    return equals > 2 ? text.substr(0, equals) : text;  // "--=x" has no name to show alone
                }
                case CLI::detail::Classifier::SHORT: {
                    std::size_t end = 1;
                    char32_t code_point = 0;
                    decode_utf8(text, end, code_point);  // cannot fail: the pre-scan refused invalid UTF-8
                    return text.substr(0, end);
                }
                default:
                    return text;
            }
        }
        return std::nullopt;
    }
};

// ---- styling ----

// Terminal styles of help and error texts; without colours the texts carry no escape bytes.
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
std::string display_name(const CLI::Option& option) {
    if (option.get_positional()) return fmt::format("[{}]", option.get_type_name());
    if (!takes_value(option)) return "--" + option.get_lnames().front();
    return fmt::format("--{} <{}>", option.get_lnames().front(), option.get_type_name());
}

// "standard, verbose, json", in the order that the parser tries them.
std::string output_mode_list(const Paint& paint) {
    std::string values;
    for (OutputMode mode : kOutputModes) {
        if (!values.empty()) values += ", ";
        values += paint.valid(as_str(mode));
    }
    return values;
}

// ---- help ----

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

// The "[default: ...]" and "[possible values: ...]" items behind a help text; flags show no default.
std::vector<std::string> value_notes(const CLI::Option& option) {
    std::vector<std::string> notes;
    if (takes_value(option) && !option.get_default_str().empty()) {
        notes.push_back(fmt::format("[default: {}]", option.get_default_str()));
    }
    if (spec_of(option).lists_output_modes) {
        notes.push_back(fmt::format("[possible values: {}]", output_mode_list(Paint(false))));
    }
    return notes;
}

struct HelpEntry {
    std::string names;  // plain, for the column width
    std::string styled_names;
    std::string help;
    std::vector<std::string> notes;
};

// Lays the help out from the App's declaration: the short form (-h) for AppFormatMode::Normal, the long form
// (--help) for AppFormatMode::All. Possible values and the help flag's long text come from the table.
class HelpFormatter : public CLI::Formatter {
public:
    explicit HelpFormatter(Paint paint) : paint_(paint) {}

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        const bool long_form = mode == CLI::AppFormatMode::All;
        std::vector<HelpEntry> arguments;
        std::vector<HelpEntry> options;
        for (const CLI::Option* option : app->get_options()) {
            (option->get_positional() ? arguments : options).push_back(entry(*option, long_form));
        }
        const auto entries = long_form ? long_entries : short_entries;
        return fmt::format("{}\n\n{}\n{}\n{}\n{}\n{}", long_form ? kLongAbout : app->get_description(),
                           make_usage(app, std::move(name)), paint_.header("Arguments:"), entries(arguments),
                           paint_.header("Options:"), entries(options));
    }

    // "Usage: NAME [OPTIONS] --key <KEY> [TARGET]" and a newline; usage errors show it too.
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string line = fmt::format("{} {} [OPTIONS]", paint_.header("Usage:"), paint_.literal(name));
        for (const CLI::Option* option : app->get_options()) {
            if (!option->get_required() || option->get_positional()) continue;
            line += " " + paint_.literal("--" + option->get_lnames().front());
            if (takes_value(*option)) line += fmt::format(" <{}>", option->get_type_name());
        }
        for (const CLI::Option* option : app->get_options()) {
            if (option->get_positional()) line += " " + display_name(*option);
        }
        return line + "\n";
    }

private:
    HelpEntry entry(const CLI::Option& option, bool long_form) const {
        const ArgSpec& spec = spec_of(option);
        HelpEntry entry{{}, {}, option.get_description(), value_notes(option)};
        if (long_form && !spec.long_help.empty()) entry.help = spec.long_help;
        if (option.get_positional()) {
            entry.names = entry.styled_names = display_name(option);
            return entry;
        }
        const std::string short_name = "-" + option.get_snames().front();
        const std::string long_name = "--" + option.get_lnames().front();
        entry.names = short_name + ", " + long_name;
        entry.styled_names = paint_.literal(short_name) + ", " + paint_.literal(long_name);
        if (takes_value(option)) {
            const std::string value = fmt::format(" <{}>", option.get_type_name());
            entry.names += value;
            entry.styled_names += value;
        }
        return entry;
    }

    // Short form: names and help text side by side, the help text wrapped under its own column.
    static std::string short_entries(const std::vector<HelpEntry>& entries) {
        std::size_t longest = 0;
        for (const HelpEntry& entry : entries) longest = std::max(longest, entry.names.size());
        const std::size_t help_column = 2 + longest + 2;
        const std::size_t width = kHelpWidth > help_column ? kHelpWidth - help_column : 1;
        std::string out;
        for (const HelpEntry& entry : entries) {
            std::string text = entry.help;
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
    static std::string long_entries(const std::vector<HelpEntry>& entries) {
        const std::string indent(kLongHelpIndent, ' ');
        std::string out;
        for (std::size_t e = 0; e < entries.size(); ++e) {
            const HelpEntry& entry = entries[e];
            if (e > 0) out += "\n";
            out += "  " + entry.styled_names + "\n";
            std::vector<std::string> paragraphs{entry.help};
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

    Paint paint_;
};

// ---- matching ----

// The last path component of argv[0]; the command name when it has none or is not valid text.
std::string program_name(std::span<const std::string> argv) {
    if (argv.empty() || !is_valid_utf8(argv[0])) return std::string(kCommandName);
    std::string_view path = argv[0];
    while (!path.empty()) {
        const std::size_t slash = path.rfind('/');
        const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (last == "..") break;
        if (!last.empty() && last != ".") return std::string(last);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    }
    return std::string(kCommandName);
}

// Thrown from an option's report to end CLI11's parse with this text.
struct ParseStop {
    ExitText exit_text;
};

// Declares the command to CLI11, lets it match the arguments and turns what it reports into the record or into
// the text that ends the run.
class Matcher {
public:
    Matcher(std::span<const std::string> argv, TextColours colours)
        : program_(program_name(argv)),
          error_paint_(colours.standard_error),
          output_paint_(colours.standard_output),
          arguments_(argv.empty() ? argv : argv.subspan(1)) {
        app_.name(program_);
        app_.description(std::string(kAbout));
        app_.formatter(std::make_shared<HelpFormatter>(output_paint_));
        app_.set_help_flag();
        app_.allow_windows_style_options(false);
        for (std::size_t index = 0; index < kArgs.size(); ++index) declare(index);
    }

    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    ParseOutcome run() {
        for (const std::string& argument : arguments_) {
            if (!is_valid_utf8(argument)) {
                return usage_error("invalid UTF-8 was detected in one or more arguments", true);
            }
        }
        std::optional<ExitText> stop;
        try {
            app_.parse(std::vector<std::string>(arguments_.rbegin(), arguments_.rend()));
        } catch (const ParseStop& parse_stop) {
            stop = parse_stop.exit_text;
        } catch (const CLI::RequiredError&) {
            stop = missing_required();
        } catch (const CLI::ArgumentMismatch& error) {
            stop = value_missing_at_end(error);
        } catch (const CLI::ParseError& error) {
            // An ExtrasError is named from the set-aside arguments below; anything else keeps CLI11's words.
            stop = usage_error(error.what(), true);
        }
        // CLI11 sets unknown and surplus arguments aside and reads on, so one set aside came before the stop.
        if (std::optional<std::string> unexpected = app_.first_unexpected()) return unexpected_argument(*unexpected);
        if (stop) return std::move(*stop);
        // An absent argument takes the default text that CLI11 holds for it, through its own value parser.
        for (std::size_t index = 0; index < kArgs.size(); ++index) {
            const std::string default_text = options_[index]->get_default_str();
            if (seen_[index] > 0 || default_text.empty()) continue;
            if (std::optional<ExitText> refusal = apply(index, default_text)) return std::move(*refusal);
        }
        return std::move(args_);
    }

private:
    void declare(std::size_t index) {
        const ArgSpec& spec = kArgs[index];
        const std::string help(spec.help);
        CLI::Option* option = nullptr;
        if (is_flag(spec)) {
            // Each spelling of a flag reports itself as its value, so that a value attached with '=' shows and
            // -h is told from --help.
            option = app_.add_flag(fmt::format("-{0}{{-{0}}},--{1}{{--{1}}}", spec.short_name, spec.long_name), help);
            option->each([this, index](const std::string& given) {
                const std::string long_spelling = fmt::format("--{}", kArgs[index].long_name);
                const bool bare = given == long_spelling || given == fmt::format("-{}", kArgs[index].short_name);
                report(index, bare ? std::nullopt : std::optional<std::string>(given), given == long_spelling);
            });
        } else {
            // One value each, so CLI11 calls with exactly one result; it takes the argument after the option as
            // its value, whatever it looks like.
            const auto take_results = [this, index](const CLI::results_t& results) {
                report(index, results.front(), false);
                return true;
            };
            const std::string names = spec.kind == ArgKind::positional
                                          ? std::string(spec.value_name)
                                          : fmt::format("-{},--{}", spec.short_name, spec.long_name);
            option = app_.add_option(names, take_results, help)->type_name(std::string(spec.value_name));
        }
        if (spec.default_text != nullptr) option->default_str(std::string(spec.default_text()));
        if (spec.kind != ArgKind::positional) option->trigger_on_parse();
        option->required(spec.required);
        options_[index] = option;
    }

    // One occurrence of an argument as CLI11 met it, with its value; for a flag, the value attached to it if any.
    void report(std::size_t index, const std::optional<std::string>& value, bool by_long_name) {
        if (std::optional<ExitText> stop = occurrence(index, value, by_long_name)) throw ParseStop{std::move(*stop)};
    }

    std::optional<ExitText> occurrence(std::size_t index, const std::optional<std::string>& value, bool by_long_name) {
        const ArgSpec& spec = kArgs[index];
        const CLI::Option& option = *options_[index];
        if (is_flag(spec) && value) {
            return usage_error(fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                                           error_paint_.invalid(*value), error_paint_.literal(display_name(option))),
                               true);
        }
        if (++seen_[index] > 1) {
            return usage_error(fmt::format("the argument '{}' cannot be used multiple times",
                                           error_paint_.invalid(display_name(option))),
                               true);
        }
        switch (spec.kind) {
            case ArgKind::help:
                return ExitText{ExitText::Stream::standard_output,
                                app_.help("", by_long_name ? CLI::AppFormatMode::All : CLI::AppFormatMode::Normal), 0};
            case ArgKind::version:
                return ExitText{ExitText::Stream::standard_output, fmt::format("{} {}\n", kCommandName, kVersion), 0};
            case ArgKind::flag:
                return apply(index, "true");
            case ArgKind::option:
            case ArgKind::positional:
                return apply(index, *value);
        }
        return std::nullopt;
    }

    std::optional<ExitText> apply(std::size_t index, std::string_view value) {
        const ArgSpec& spec = kArgs[index];
        std::optional<std::string> refusal = spec.apply(args_, value);
        if (!refusal) return std::nullopt;
        if (refusal->empty() && value.empty()) return value_required(index);
        std::string message = fmt::format("invalid value '{}' for '{}'", error_paint_.invalid(value),
                                          error_paint_.literal(display_name(*options_[index])));
        if (!refusal->empty()) message += ": " + *refusal;
        return usage_error(message + possible_values(spec), false);
    }

    ExitText value_required(std::size_t index) const {
        return usage_error(fmt::format("a value is required for '{}' but none was supplied",
                                       error_paint_.literal(display_name(*options_[index]))) +
                               possible_values(kArgs[index]),
                           false);
    }

    // CLI11 ran out of arguments before an option's value. It names the option at the start of its text.
    ExitText value_missing_at_end(const CLI::ArgumentMismatch& error) const {
        const std::string_view text = error.what();
        for (std::size_t index = 0; index < kArgs.size(); ++index) {
            if (text.starts_with(options_[index]->get_name() + ":")) return value_required(index);
        }
        return usage_error(text, true);
    }

    ExitText missing_required() const {
        std::string missing;
        for (const CLI::Option* option : app_.get_options()) {
            if (option->get_required() && option->count() == 0) {
                missing += "\n  " + error_paint_.valid(display_name(*option));
            }
        }
        return usage_error("the following required arguments were not provided:" + missing, true);
    }

    ExitText unexpected_argument(std::string_view argument) const {
        return usage_error(fmt::format("unexpected argument '{}' found", error_paint_.invalid(argument)), true);
    }

    std::string possible_values(const ArgSpec& spec) const {
        if (!spec.lists_output_modes) return {};
        return fmt::format("\n  [possible values: {}]", output_mode_list(error_paint_));
    }

    ExitText usage_error(std::string_view message, bool with_usage) const {
        std::string text = fmt::format("{} {}\n", error_paint_.error("error:"), message);
        if (with_usage) text += "\n" + HelpFormatter(error_paint_).make_usage(&app_, program_);
        text += fmt::format("\nFor more information, try '{}'.\n", error_paint_.literal("--help"));
        return ExitText{ExitText::Stream::standard_error, std::move(text), 2};
    }

    std::string program_;
    Paint error_paint_;
    Paint output_paint_;
    std::span<const std::string> arguments_;
    CommandApp app_;
    std::array<CLI::Option*, kArgs.size()> options_{};
    std::array<unsigned, kArgs.size()> seen_{};
    Args args_;
};

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
    return Matcher(argv, colours).run();
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
        static_cast<void>(write_stdout(exit_text.text));
    } else {
        write_stderr(exit_text.text);
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
