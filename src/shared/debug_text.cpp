#include "shared/debug_text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include <fmt/format.h>

#include "shared/utf8.hpp"
#include "unicode/debug_escapes.hpp"

namespace brindlemoor {
namespace {

bool shows_as_itself(char32_t code_point) {
    if (code_point >= 0x20 && code_point < 0x7F) return true;
    const auto ranges = unicode::kDebugEscapedRanges;
    const auto starts_after = [](char32_t cp, const unicode::CodePointRange& range) { return cp < range.first; };
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), code_point, starts_after);
    return after == ranges.begin() || code_point > std::prev(after)->last;
}

struct DebugEscapes {
    static bool escapes(char32_t code_point) {
        return code_point == U'"' || code_point == U'\\' || !shows_as_itself(code_point);
    }

    static void append_escape(std::string& out, char32_t code_point) {
        switch (code_point) {
            case U'"': out += "\\\""; return;
            case U'\\': out += "\\\\"; return;
            case U'\t': out += "\\t"; return;
            case U'\r': out += "\\r"; return;
            case U'\n': out += "\\n"; return;
            case U'\0': out += "\\0"; return;
            default: fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(code_point));
        }
    }

    static void append_invalid(std::string& out, unsigned char byte) {
        fmt::format_to(std::back_inserter(out), "\\x{{{:x}}}", byte);
    }
};

}  // namespace

void append_debug_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    append_escaped(out, text, DebugEscapes{});
    out.push_back('"');
}

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_debug_quoted(out, text);
    return out;
}

}  // namespace brindlemoor
