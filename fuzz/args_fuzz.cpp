// The command line: every argument list either parses to a record or ends with an exit text, help and version
// on standard output with status 0, usage errors on standard error with status 2, each with its expected start
// and end and in valid UTF-8. A parsed record says the same when its values are given again in long form.
//
// Input: one byte whose bits 0 and 1 turn colours on for standard output and standard error, then the process
// arguments separated by NUL bytes, the program's name first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "command_line/args.hpp"
#include "fuzz_check.hpp"
#include "shared/utf8.hpp"
#include "version.hpp"

namespace {

using namespace brindlemoor;
using fuzz::require;

// The text without the terminal's select-graphic-rendition sequences (ESC '[' digits and ';' ... 'm'), also
// those that the arguments themselves carry.
std::string without_styles(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == ';')) ++end;
            if (end < text.size() && text[end] == 'm') {
                i = end;
                continue;
            }
        }
        plain += text[i];
    }
    return plain;
}

void check_exit_text(const ExitText& exit_text) {
    require(is_valid_utf8(exit_text.text), "exit texts are valid UTF-8");
    const std::string text = without_styles(exit_text.text);
    if (exit_text.exit_status == 0) {
        require(exit_text.stream == ExitText::Stream::standard_output, "help and version go to standard output");
        const bool help = text.starts_with("Network monitoring probe and server\n\nUsage: ") ||
                          text.starts_with("Multi-session constant rate network probe and server\n\nUsage: ");
        require(help || text == fmt::format("brindlemoor {}\n", kVersion), "status 0 is the help or the version");
        return;
    }
    require(exit_text.exit_status == 2, "a usage error ends with status 2");
    require(exit_text.stream == ExitText::Stream::standard_error, "usage errors go to standard error");
    require(text.starts_with("error: "), "a usage error starts with \"error: \"");
    require(text.ends_with("\nFor more information, try '--help'.\n"), "a usage error ends with the help hint");
}

// The record's values as long options with attached values (flags only when set), the target after "--", so that
// no value is read as an option.
std::vector<std::string> long_form(const Args& args) {
    std::vector<std::string> argv{"brindlemoor",
                                  fmt::format("--key={}", args.key),
                                  fmt::format("--port={}", args.base_port),
                                  fmt::format("--output_mode={}", as_str(args.output_mode)),
                                  fmt::format("--sessions={}", args.num_sessions),
                                  fmt::format("--interval={}", args.interval),
                                  fmt::format("--rate={}", args.rate)};
    if (args.server) argv.emplace_back("--server");
    if (args.no_probe) argv.emplace_back("--no_probe");
    if (args.tag) argv.push_back("--tag=" + *args.tag);
    if (args.target) {
        argv.emplace_back("--");
        argv.push_back(*args.target);
    }
    return argv;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const TextColours colours{(data[0] & 1U) != 0, (data[0] & 2U) != 0};
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> argv;
    for (std::size_t start = 0;;) {
        const std::size_t end = rest.find('\0', start);
        argv.emplace_back(rest.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }

    const ParseOutcome outcome = parse_command_line(argv, colours);
    if (const auto* exit_text = std::get_if<ExitText>(&outcome)) {
        check_exit_text(*exit_text);
        return 0;
    }
    const Args& args = std::get<Args>(outcome);
    require(args.interval > 5, "a parsed interval is above 5 ms");
    const std::string dump = args.dump();
    require(dump.starts_with("Args { server: ") && dump.ends_with(" }"), "the debug form names the record");

    const ParseOutcome again = parse_command_line(long_form(args), TextColours{});
    const auto* reparsed = std::get_if<Args>(&again);
    require(reparsed != nullptr, "a parsed record's values parse again");
    require(reparsed->dump() == dump, "a parsed record's values give the same record again");
    return 0;
}
