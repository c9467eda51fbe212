#include "log_filter.hpp"

#include <algorithm>
#include <array>
#include <regex>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "shared/utf8.hpp"

namespace brindlemoor::logging {

namespace {

constexpr std::string_view kInvalidDirective = "invalid filter directive";
constexpr std::string_view kInvalidLevel =
    R"(error parsing level filter: expected one of "off", "error", "warn", "info", "debug", "trace", or a number 0-5)";

struct Directive {
    std::optional<std::string> target;  // none: every target
    std::optional<std::string> field_name;  // none: any event; else only events that carry this field
    LevelFilter level = LevelFilter::Trace;
    // A span name, a field value or a bracket part without field names restricts a directive to events inside
    // matching spans; the program opens none.
    bool needs_span = false;
};

using DirectiveOrReason = std::variant<Directive, std::string>;

// std::regex compiles recursively, going deeper with every nested group and every further item of a sequence,
// so a long hostile pattern would overflow the stack; no real field pattern comes near this.
constexpr std::size_t kMaxFieldPatternLength = 1024;

// libstdc++'s regex compiler reads the number of a repetition count ("a{3}") or a back-reference ("\1") into a
// signed integer without an overflow check (undefined behaviour) and then cuts it to int.
constexpr std::size_t kMaxPatternNumberDigits = 9;

// Whether a '{' or '\' is followed by more than kMaxPatternNumberDigits significant digits. Checked wherever they
// stand, also where the compiler would take the digits as plain characters, so that no such number slips through.
bool has_oversized_number(std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '{' && pattern[i] != '\\') continue;
        std::size_t end = i + 1;
        while (end < pattern.size() && pattern[end] == '0') ++end;
        const std::size_t significant = end;
        while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9') ++end;
        if (end - significant > kMaxPatternNumberDigits) return true;
    }
    return false;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_target(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return is_word_char(c) || c == ':' || c == '-'; });
}

bool is_field_name(std::string_view name) {
    return !name.empty() && is_word_char(name.front()) &&
           std::all_of(name.begin(), name.end(), [](char c) { return is_word_char(c) || c == '.'; });
}

// Checks one "name" or "name=pattern" of a span's field list; returns the reason when it is unusable.
std::optional<std::string> check_field_filter(std::string_view field) {
    const std::size_t equals = field.find('=');
    const std::string_view name = field.substr(0, equals);
    if (!is_field_name(name)) return fmt::format("invalid field filter: invalid field name `{}`", name);
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view pattern_text = field.substr(equals + 1);
    if (pattern_text.size() > kMaxFieldPatternLength) {
        return fmt::format("invalid field filter: pattern longer than {} bytes", kMaxFieldPatternLength);
    }
    if (has_oversized_number(pattern_text)) {
        return fmt::format("invalid field filter: count or back-reference longer than {} digits",
                           kMaxPatternNumberDigits);
    }
    try {
        const std::regex pattern(pattern_text.begin(), pattern_text.end());
    } catch (const std::regex_error& error) {
        return fmt::format("invalid field filter: {}", error.what());
    }
    return std::nullopt;
}

// What the text between '[' and ']' selects: an optional span name, then an optional "{field}" or
// "{field=pattern}". A piece holds no comma, so the list has one field.
struct SpanPart {
    bool names_span = false;
    std::optional<std::string_view> field_name;
    bool matches_value = false;
};

std::variant<SpanPart, std::string> parse_span_part(std::string_view span) {
    const std::size_t open = span.find('{');
    const std::string_view name = span.substr(0, open);
    if (name.find_first_of("[]{}=") != std::string_view::npos) return std::string(kInvalidDirective);
    SpanPart part{!name.empty(), std::nullopt, false};
    if (open == std::string_view::npos) return part;
    if (span.back() != '}') return std::string(kInvalidDirective);
    const std::string_view field = span.substr(open + 1, span.size() - open - 2);
    if (field.empty()) return std::string(kInvalidDirective);  // a field list that names no field
    if (auto reason = check_field_filter(field)) return *reason;
    const std::size_t equals = field.find('=');
    part.field_name = field.substr(0, equals);
    part.matches_value = equals != std::string_view::npos;
    return part;
}

// One piece of RUST_LOG: a level alone, or `target`, `target[span{field=pattern}]` or `[span]`, each optionally
// followed by "=level".
DirectiveOrReason parse_directive(std::string_view piece) {
    if (const auto level = parse_level_filter(piece)) return Directive{std::nullopt, std::nullopt, *level, false};

    // The span part ends at the last ']' (field patterns may hold '[', ']' and '='); the level follows it.
    const std::size_t span_end = piece.rfind(']');
    const std::size_t equals = piece.find('=', span_end == std::string_view::npos ? 0 : span_end);
    const std::string_view selector = piece.substr(0, equals);
    std::optional<std::string_view> level_text;
    if (equals != std::string_view::npos) {
        level_text = piece.substr(equals + 1);
        if (level_text->find('=') != std::string_view::npos) {
            return fmt::format("{}: too many '=' in filter directive, expected 0 or 1", kInvalidDirective);
        }
    }

    const std::size_t open = selector.find('[');
    const std::string_view target = selector.substr(0, open);
    Directive directive{target.empty() ? std::nullopt : std::optional<std::string>(target), std::nullopt,
                        LevelFilter::Trace, false};
    if (open != std::string_view::npos) {
        const std::size_t close = selector.rfind(']');
        if (close != selector.size() - 1) return std::string(kInvalidDirective);
        auto part = parse_span_part(selector.substr(open + 1, close - open - 1));
        if (auto* reason = std::get_if<std::string>(&part)) return std::move(*reason);
        SpanPart& span_part = std::get<SpanPart>(part);
        // A field name alone selects the events that carry that field; anything else selects spans.
        directive.needs_span = span_part.names_span || span_part.matches_value || !span_part.field_name;
        if (span_part.field_name) directive.field_name = std::string(*span_part.field_name);
    } else if (target.empty()) {
        return std::string(kInvalidDirective);
    }
    if (!target.empty() && !is_target(target)) return std::string(kInvalidDirective);

    // "target=" with no level after it lets every level through, like the target alone.
    if (level_text && !level_text->empty()) {
        const auto level = parse_level_filter(*level_text);
        if (!level) return std::string(kInvalidLevel);
        directive.level = *level;
    }
    return directive;
}

constexpr unsigned verbosity(Level level) { return 5u - static_cast<unsigned>(level); }

}  // namespace

struct LogFilterBuilder {
    using EventDirective = LogFilter::EventDirective;

    static LogFilter build(const std::vector<Directive>& directives) {
        LogFilter filter;
        for (const Directive& directive : directives) {
            if (directive.needs_span) continue;
            const auto same = std::ranges::find_if(filter.directives_, [&](const EventDirective& known) {
                return known.target == directive.target && known.field_name == directive.field_name;
            });
            if (same != filter.directives_.end()) {
                same->level = directive.level;
            } else {
                filter.directives_.push_back({directive.target, directive.field_name, directive.level});
            }
            filter.most_verbose_ = std::max(filter.most_verbose_, directive.level);
        }
        std::ranges::sort(filter.directives_, more_specific);
        return filter;
    }

    // The longest target first (one without a target last), then one that names a field; of two that name
    // different fields for the same target, the later field name in byte order.
    static bool more_specific(const EventDirective& a, const EventDirective& b) {
        const auto target_weight = [](const EventDirective& d) { return d.target ? d.target->size() + 1 : 0; };
        if (target_weight(a) != target_weight(b)) return target_weight(a) > target_weight(b);
        return a.field_name > b.field_name;
    }
};

std::optional<LevelFilter> parse_level_filter(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, LevelFilter>, 6> kNames{{
        {"off", LevelFilter::Off},
        {"error", LevelFilter::Error},
        {"warn", LevelFilter::Warn},
        {"info", LevelFilter::Info},
        {"debug", LevelFilter::Debug},
        {"trace", LevelFilter::Trace},
    }};
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return static_cast<LevelFilter>(text[0] - '0');
    for (const auto& [name, level] : kNames) {
        if (equals_ignoring_ascii_case(text, name)) return level;
    }
    return std::nullopt;
}

bool LogFilter::enabled(Level level, std::string_view target, FieldNames names) const noexcept {
    const unsigned wanted = verbosity(level);
    if (wanted > static_cast<unsigned>(most_verbose_)) return false;
    for (const EventDirective& directive : directives_) {
        if (directive.target && !target.starts_with(*directive.target)) continue;
        if (directive.field_name && !names.contains(*directive.field_name)) continue;
        return wanted <= static_cast<unsigned>(directive.level);
    }
    return false;
}

ParsedLogFilter parse_log_filter(std::string_view text) {
    ParsedLogFilter parsed;
    std::vector<Directive> directives;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view piece = text.substr(start, comma - start);
        start = comma + 1;
        if (piece.empty()) continue;
        auto result = parse_directive(piece);
        if (auto* directive = std::get_if<Directive>(&result)) {
            directives.push_back(std::move(*directive));
        } else {
            parsed.reports.push_back(fmt::format("ignoring `{}`: {}", piece, std::get<std::string>(result)));
        }
    }
    if (directives.empty()) directives.push_back(Directive{std::nullopt, std::nullopt, LevelFilter::Info, false});
    parsed.filter = LogFilterBuilder::build(directives);
    return parsed;
}

std::string_view filter_text_from_env(const char* rust_log) {
    if (rust_log == nullptr) return {};
    const std::string_view text(rust_log);
    return is_valid_utf8(text) ? text : std::string_view{};
}

}  // namespace brindlemoor::logging
