#pragma once

#include <string>
#include <string_view>

namespace brindlemoor {

// The quoted debug form of a text: in double quotes; '"', '\\', '\t', '\r', '\n' and NUL as backslash escapes;
// every code point that does not show as itself (controls, format characters, surrogates, private use,
// unassigned code points, line and paragraph separators, spaces other than U+0020, and combining marks that
// extend a grapheme) as "\u{hex}". Bytes that are not valid UTF-8 are written as "\x{hex}" so nothing is lost.
std::string debug_quoted(std::string_view text);

// Appends the quoted debug form of `text` to `out`.
void append_debug_quoted(std::string& out, std::string_view text);

}  // namespace brindlemoor
