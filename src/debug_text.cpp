#include "debug_text.hpp"

#include <array>
#include <fmt/format.h>

namespace brindlemoor {
namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Characters that are not written as themselves in a debug form.
constexpr std::array<Range, 48> kEscaped{{
    {0x0000, 0x001F}, {0x007F, 0x00A0}, {0x00AD, 0x00AD},                       // controls, NBSP, soft hyphen
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},     // combining marks
    {0x05C1, 0x05C2}, {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0600, 0x0605},
    {0x0610, 0x061A}, {0x061C, 0x061C}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DD}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},
    {0x070F, 0x070F}, {0x1680, 0x1680}, {0x180E, 0x180E}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x2064},     // spaces, format, separators
    {0x2066, 0x206F}, {0x20D0, 0x20FF}, {0x3000, 0x3000}, {0x302A, 0x302F},
    {0x3099, 0x309A}, {0xD800, 0xDFFF}, {0xE000, 0xF8FF}, {0xFE00, 0xFE0F},     // surrogates, private use
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xFFFE, 0xFFFF},
    {0x110BD, 0x110BD}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F}, {0xE0100, 0xE01EF},
    {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD}, {0x1FFFE, 0x1FFFF}, {0x2FFFE, 0x2FFFF}, {0x10FFFE, 0x10FFFF},
}};

bool is_escaped(char32_t cp) {
    for (const Range& range : kEscaped) {
        if (cp >= range.first && cp <= range.last) return true;
    }
    return false;
}

}  // namespace

bool decode_utf8(std::string_view text, std::size_t& pos, char32_t& code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code_point = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2; cp = lead & 0x1Fu; minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3; cp = lead & 0x0Fu; minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4; cp = lead & 0x07u; minimum = 0x10000;
    } else {
        return false;
    }
    if (pos + length > text.size()) return false;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    code_point = cp;
    pos += length;
    return true;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t pos = 0;
    char32_t cp = 0;
    while (pos < text.size()) {
        if (!decode_utf8(text, pos, cp)) return false;
    }
    return true;
}

void append_debug_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        char32_t cp = 0;
        if (!decode_utf8(text, pos, cp)) {
            fmt::format_to(std::back_inserter(out), "\\x{{{:x}}}", static_cast<unsigned char>(text[pos]));
            ++pos;
            continue;
        }
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (is_escaped(cp)) {
            fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
        } else {
            out.append(text.substr(start, pos - start));
        }
    }
    out.push_back('"');
}

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_debug_quoted(out, text);
    return out;
}

}  // namespace brindlemoor
