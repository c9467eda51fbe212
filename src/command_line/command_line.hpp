#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Matching the process's arguments against a declaration table. Pure: arguments in, the occurrences that took
// effect and how matching ended out; no I/O, no texts beyond the arguments themselves.
namespace brindlemoor {

struct Args;

enum class ArgKind { flag, option, positional, help, version };

// One entry of the declaration table.
struct ArgSpec {
    ArgKind kind;
    char short_name;              // '\0' for the positional
    std::string_view long_name;   // empty for the positional
    std::string_view value_name;  // empty for flags
    std::string_view help;
    std::string_view long_help;   // empty: the same as `help`
    bool required;
    std::span<const std::string_view> possible_values;  // listed in the help and in errors; empty: any text
    std::string_view (*default_text)();                 // nullptr: none
    // Parses a value (a flag's is "true", or its default "false") into the record; returns the reason of a
    // refusal, empty when the parser gives none. nullptr for help and version.
    std::optional<std::string> (*store)(Args&, std::string_view);

    bool takes_value() const { return kind == ArgKind::option || kind == ArgKind::positional; }
};

// The command: its name, texts and arguments, in the order of the help.
struct CommandDeclaration {
    std::string_view name;
    std::string_view about;
    std::string_view long_about;
    std::string_view version;
    std::span<const ArgSpec> args;
};

// What ends matching with a usage error.
struct UsageError {
    enum class Kind {
        unexpected_argument,  // `text`: an argument the declaration lacks, or a second positional
        unexpected_value,     // `text`: a value attached to the flag `arg`
        value_required,       // the option `arg` met no value
        used_multiple_times,  // `arg` given a second time
        invalid_value,        // `text`: a value of `arg` that its parser refused, `reason` why (may be empty)
        missing_required,     // `missing`: the required arguments not given
        invalid_utf8,         // an argument that is not valid UTF-8
    };
    Kind kind;
    std::size_t arg = 0;  // index into the declaration
    std::string text;
    std::string reason;
    std::vector<std::size_t> missing;
};

// One argument of the declaration as it took effect, with its value (empty for flags, help and version).
struct Occurrence {
    std::size_t arg;
    std::string_view value;
};

struct MatchCompleted {};
struct HelpRequested {
    bool long_form;  // --help rather than -h
};
struct VersionRequested {};

// The occurrences in the order they took effect, then how matching ended. An option's value takes effect when
// the next argument that is not its value is met, so a fault of that value comes before that argument's.
struct ArgumentMatch {
    std::vector<Occurrence> occurrences;
    std::variant<MatchCompleted, HelpRequested, VersionRequested, UsageError> end;
};

// Matches `arguments` (the program's name not among them) left to right: "--name", "--name=value",
// "--name value"; "-f", grouped short flags "-fg", "-ovalue", "-o=value", "-o value"; "--" makes every later
// argument positional. An option waiting for its value takes the next argument unless that is itself an option
// or a group of short flags ("-" alone is a value). Help and version act when met. Text is checked to be UTF-8
// where matching reaches it.
ArgumentMatch match_arguments(std::span<const ArgSpec> declaration, std::span<const std::string> arguments);

}  // namespace brindlemoor
