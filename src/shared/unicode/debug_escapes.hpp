#pragma once

#include <span>

namespace brindlemoor::unicode {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The code points that a debug form writes as "\u{...}" because they do not show as themselves: general
// categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp, Zs other than U+0020, and Grapheme_Extend. Sorted,
// disjoint and never adjacent; generated from the Unicode character database by generate_debug_escapes.py.
extern const std::span<const CodePointRange> kDebugEscapedRanges;

}  // namespace brindlemoor::unicode
