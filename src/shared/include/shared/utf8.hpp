#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Walking UTF-8 text code point by code point. Header-only, so that the escaping rules of the log formats and
// the debug form inline into the one loop that walks their texts.
namespace brindlemoor {

// Decodes the code point at `pos` and moves `pos` past it. Returns false, leaving `pos`, where no valid sequence
// begins: a stray continuation byte, a cut-short, overlong or surrogate sequence, or one beyond U+10FFFF.
inline bool decode_utf8(std::string_view text, std::size_t& pos, char32_t& code_point) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        code_point = lead;
        ++pos;
        return true;
    }
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2; cp = lead & 0x1Fu; minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3; cp = lead & 0x0Fu; minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4; cp = lead & 0x07u; minimum = 0x10000;
    } else {
        return false;
    }
    if (length > text.size() - pos) return false;
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

inline bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t pos = 0;
    char32_t code_point = 0;
    while (pos < text.size()) {
        if (!decode_utf8(text, pos, code_point)) return false;
    }
    return true;
}

// Appends `text` to `out`, putting each code point, and each byte where no valid sequence begins, to the
// escaping rule:
//   bool escapes(char32_t) const                     whether the code point is written otherwise;
//   void append_escape(std::string&, char32_t) const what is written in its place;
//   void append_invalid(std::string&, unsigned char) const  what is written for the byte.
// Runs of code points written as they are are copied whole.
template <typename Rule>
void append_escaped(std::string& out, std::string_view text, const Rule& rule) {
    std::size_t run_start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        char32_t code_point = 0;
        if (decode_utf8(text, pos, code_point)) {
            if (!rule.escapes(code_point)) continue;
            out.append(text, run_start, start - run_start);
            rule.append_escape(out, code_point);
        } else {
            out.append(text, run_start, start - run_start);
            rule.append_invalid(out, static_cast<unsigned char>(text[pos]));
            ++pos;
        }
        run_start = pos;
    }
    out.append(text, run_start, text.size() - run_start);
}

}  // namespace brindlemoor
