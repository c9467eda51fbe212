// The RUST_LOG filter: any text builds a filter without crashing; the reports are "ignoring `<piece>`: <reason>"
// with one of the known reasons, exactly the reports that each comma-separated piece yields on its own, in piece
// order; and enabled() agrees with a plain model of the matching rules for every level and a set of targets and
// of field names made from the directives.
//
// Input: the text of RUST_LOG.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fuzz_check.hpp"
#include "log_filter.hpp"
#include "logging/logging.hpp"

namespace {

using namespace brindlemoor::logging;
using brindlemoor::fuzz::require;

constexpr std::string_view kLevelReason =
    R"(error parsing level filter: expected one of "off", "error", "warn", "info", "debug", "trace", or a number 0-5)";

constexpr std::array kLevels{Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error};

std::vector<std::string_view> pieces_of(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = text.find(',', start);
        const std::string_view piece = text.substr(start, comma - start);
        if (!piece.empty()) pieces.push_back(piece);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return pieces;
}

bool known_reason(std::string_view reason) {
    return reason == "invalid filter directive" || reason.starts_with("invalid filter directive: ") ||
           reason.starts_with("invalid field filter: ") || reason == kLevelReason;
}

// The matching rules written out plainly: of the directives whose target is a prefix of the event's and whose
// field, if any, the event carries, the one with the longest target, then one with a field, then the later field
// name, decides (the later of equal ones); with no usable directive at all, INFO for everything. Directives with a
// span name, a field value or no field list in their brackets match no event.
class FilterModel {
    struct Directive {
        std::optional<std::string> target;
        std::optional<std::string> field_name;
        LevelFilter level;

        auto rank() const { return std::tuple(target ? target->size() + 1 : 0, field_name); }
    };

public:
    void add_usable(std::string_view piece) {
        any_usable_ = true;
        if (const std::optional<LevelFilter> level = parse_level_filter(piece)) {
            directives_.push_back({std::nullopt, std::nullopt, *level});
            return;
        }
        const std::size_t open = piece.find('[');
        const std::size_t close = piece.rfind(']');
        const std::size_t equals = piece.find('=', close == std::string_view::npos ? 0 : close);
        const std::string_view level_text = equals == std::string_view::npos ? "" : piece.substr(equals + 1);
        const std::string_view target = piece.substr(0, std::min(open, equals));
        Directive directive{target.empty() ? std::nullopt : std::optional<std::string>(target), std::nullopt,
                            level_text.empty() ? LevelFilter::Trace : *parse_level_filter(level_text)};
        if (open != std::string_view::npos) {
            const std::string_view inner = piece.substr(open + 1, close - open - 1);
            if (!inner.starts_with('{') || inner.find('=') != std::string_view::npos) return;
            directive.field_name = inner.substr(1, inner.size() - 2);
        }
        directives_.push_back(std::move(directive));
    }

    void finish() {
        if (!any_usable_) directives_.push_back({std::nullopt, std::nullopt, LevelFilter::Info});
    }

    bool enabled(Level level, std::string_view target, const FieldNames& names) const {
        const Directive* deciding = nullptr;
        for (const Directive& directive : directives_) {
            if (directive.target && !target.starts_with(*directive.target)) continue;
            if (directive.field_name && !names.contains(*directive.field_name)) continue;
            if (deciding == nullptr || !(directive.rank() < deciding->rank())) deciding = &directive;
        }
        return deciding != nullptr && 5U - static_cast<unsigned>(level) <= static_cast<unsigned>(deciding->level);
    }

    std::vector<std::string> targets() const {
        std::vector<std::string> targets{"", "brindlemoor", "brindlemoor::bouncer"};
        for (const Directive& directive : directives_) {
            if (!directive.target) continue;
            targets.push_back(*directive.target);
            targets.push_back(*directive.target + "::x");
            targets.push_back(directive.target->substr(0, directive.target->size() - 1));
        }
        return targets;
    }

    // Events with no field, with a message alone, with a key alone, with each field that a directive names,
    // and with all of those.
    std::vector<std::vector<std::string>> field_sets() const {
        std::vector<std::vector<std::string>> sets{{}, {"message"}, {"key"}};
        std::vector<std::string> all;
        for (const Directive& directive : directives_) {
            if (!directive.field_name) continue;
            sets.push_back({*directive.field_name});
            all.push_back(*directive.field_name);
        }
        sets.push_back(std::move(all));
        return sets;
    }

private:
    bool any_usable_ = false;
    std::vector<Directive> directives_;
};

// An event's field names: "message" as the message, the others as fields.
struct EventFields {
    explicit EventFields(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            if (name == "message") {
                message = true;
            } else {
                fields.push_back(Field::unsigned_number(name, 0));
            }
        }
    }

    FieldNames names() const { return {message, fields}; }

    bool message = false;
    std::vector<Field> fields;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParsedLogFilter parsed = parse_log_filter(text);

    FilterModel model;
    std::vector<std::string> expected_reports;
    for (const std::string_view piece : pieces_of(text)) {
        const std::vector<std::string> reports = parse_log_filter(piece).reports;
        require(reports.size() <= 1, "a piece yields at most one report");
        if (reports.empty()) {
            model.add_usable(piece);
            continue;
        }
        const std::string prefix = "ignoring `" + std::string(piece) + "`: ";
        require(reports.front().starts_with(prefix), "a report names its piece as written");
        require(known_reason(std::string_view(reports.front()).substr(prefix.size())), "a report gives a known reason");
        expected_reports.push_back(reports.front());
    }
    model.finish();
    require(parsed.reports == expected_reports, "the reports are those of the pieces on their own, in order");

    for (const std::vector<std::string>& field_set : model.field_sets()) {
        const EventFields event(field_set);
        for (const std::string& target : model.targets()) {
            for (const Level level : kLevels) {
                require(parsed.filter.enabled(level, target, event.names()) ==
                            model.enabled(level, target, event.names()),
                        "enabled() follows the matching rules");
            }
        }
    }
    return 0;
}
