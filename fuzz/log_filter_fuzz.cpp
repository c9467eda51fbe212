// The RUST_LOG filter: any text builds a filter without crashing; the reports are "ignoring `<piece>`: <reason>"
// with one of the known reasons, exactly the reports that each comma-separated piece yields on its own, in piece
// order; and enabled() agrees with a plain model of the matching rules for every level and a set of targets
// made from the directives.
//
// Input: the text of RUST_LOG.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "log_filter.hpp"
#include "logging.hpp"

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

// The matching rules written out plainly: the longest matching target decides (the later of equal ones), then
// the level alone; with no usable directive at all, INFO for everything. Span directives match no event.
class FilterModel {
public:
    void add_usable(std::string_view piece) {
        any_usable_ = true;
        if (const std::optional<LevelFilter> level = parse_level_filter(piece)) {
            default_level_ = level;
            return;
        }
        if (piece.find('[') != std::string_view::npos) return;
        const std::size_t equals = piece.find('=');
        const LevelFilter level =
            equals == std::string_view::npos ? LevelFilter::Trace : *parse_level_filter(piece.substr(equals + 1));
        directives_.push_back({std::string(piece.substr(0, equals)), level});
    }

    void finish() {
        if (!any_usable_) default_level_ = LevelFilter::Info;
    }

    bool enabled(Level level, std::string_view target) const {
        const Directive* deciding = nullptr;
        for (const Directive& directive : directives_) {
            if (target.starts_with(directive.target) &&
                (deciding == nullptr || directive.target.size() >= deciding->target.size())) {
                deciding = &directive;
            }
        }
        const std::optional<LevelFilter> limit = deciding ? std::optional(deciding->level) : default_level_;
        return limit && 5U - static_cast<unsigned>(level) <= static_cast<unsigned>(*limit);
    }

    std::vector<std::string> targets() const {
        std::vector<std::string> targets{"", "brindlemoor", "brindlemoor::bouncer"};
        for (const Directive& directive : directives_) {
            targets.push_back(directive.target);
            targets.push_back(directive.target + "::x");
            targets.push_back(directive.target.substr(0, directive.target.size() - 1));
        }
        return targets;
    }

private:
    struct Directive {
        std::string target;
        LevelFilter level;
    };

    bool any_usable_ = false;
    std::optional<LevelFilter> default_level_;
    std::vector<Directive> directives_;
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

    for (const std::string& target : model.targets()) {
        for (const Level level : kLevels) {
            require(parsed.filter.enabled(level, target) == model.enabled(level, target),
                    "enabled() follows the matching rules");
        }
    }
    return 0;
}
