#pragma once

#include <string>
#include <string_view>

namespace brindlemoor {

// The quoted debug form of a text: in double quotes; '"', '\\', '\t', '\r', '\n' and NUL as backslash escapes;
// other characters that do not show as themselves (controls, format and separator characters, private use,
// combining marks) as "\u{hex}". Bytes that are not valid UTF-8 are written as "\x{hex}" so nothing is lost.
std::string debug_quoted(std::string_view text);

// Appends the quoted debug form of `text` to `out`.
void append_debug_quoted(std::string& out, std::string_view text);

// Decodes one UTF-8 code point at `pos`; returns false (and leaves `pos`) for an invalid sequence.
bool decode_utf8(std::string_view text, std::size_t& pos, char32_t& code_point);

// True when the whole text is valid UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace brindlemoor
