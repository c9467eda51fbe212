#pragma once

#include <limits>
#include <string_view>
#include <type_traits>
#include <variant>

// Decimal integers as the command line, the environment and address texts write them, with the refusal texts
// that users see for each kind of fault.
namespace brindlemoor {

enum class IntegerError { empty, invalid_digit, too_large, too_small };

constexpr std::string_view integer_error_text(IntegerError error) {
    switch (error) {
        case IntegerError::empty: return "cannot parse integer from empty string";
        case IntegerError::invalid_digit: return "invalid digit found in string";
        case IntegerError::too_large: return "number too large to fit in target type";
        case IntegerError::too_small: return "number too small to fit in target type";
    }
    return "invalid digit found in string";
}

// Decimal text with one optional sign ('-' only for signed types), digits read left to right so that the
// first fault met decides the error.
template <typename Int>
std::variant<Int, IntegerError> parse_decimal(std::string_view text) {
    if (text.empty()) return IntegerError::empty;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        if (text.size() == 1) return IntegerError::invalid_digit;
        if (text[0] == '+') {
            text.remove_prefix(1);
        } else if constexpr (std::is_signed_v<Int>) {
            negative = true;
            text.remove_prefix(1);
        }
    }
    constexpr Int kMax = std::numeric_limits<Int>::max();
    constexpr Int kMin = std::numeric_limits<Int>::min();
    Int result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return IntegerError::invalid_digit;
        const Int digit = static_cast<Int>(c - '0');
        if (negative) {
            if (result < (kMin + digit) / 10) return IntegerError::too_small;
            result = static_cast<Int>(result * 10 - digit);
        } else {
            if (result > (kMax - digit) / 10) return IntegerError::too_large;
            result = static_cast<Int>(result * 10 + digit);
        }
    }
    return result;
}

}  // namespace brindlemoor
