#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindlemoor {

// How results and log lines are written: text lines (Verbose also shows zero-valued items) or JSON lines.
enum class OutputMode : std::uint8_t { Standard = 0, Verbose = 1, JSON = 2 };

// The command-line and display text: "standard", "verbose" or "json".
constexpr std::string_view as_str(OutputMode mode) {
    switch (mode) {
        case OutputMode::Standard: return "standard";
        case OutputMode::Verbose: return "verbose";
        case OutputMode::JSON: return "json";
    }
    return "standard";
}

// The name shown in the debug dump of the argument record.
constexpr std::string_view variant_name(OutputMode mode) {
    switch (mode) {
        case OutputMode::Standard: return "Standard";
        case OutputMode::Verbose: return "Verbose";
        case OutputMode::JSON: return "JSON";
    }
    return "Standard";
}

// Exact, case-sensitive match against the three command-line texts.
constexpr std::optional<OutputMode> parse_output_mode(std::string_view text) {
    for (OutputMode mode : {OutputMode::Standard, OutputMode::Verbose, OutputMode::JSON}) {
        if (text == as_str(mode)) return mode;
    }
    return std::nullopt;
}

}  // namespace brindlemoor
