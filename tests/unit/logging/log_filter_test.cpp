#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "log_filter.hpp"
#include "logging/logging.hpp"
#include "output_test_support.hpp"

using namespace brindlemoor;
using namespace brindlemoor::logging;

namespace {

// A message and no further fields, like most of the program's events.
const FieldNames kMessageOnly{true, {}};

const std::string kLevelReason =
    R"(error parsing level filter: expected one of "off", "error", "warn", "info", "debug", "trace", or a number 0-5)";

std::string report(const std::string& piece, const std::string& reason) {
    return "ignoring `" + piece + "`: " + reason;
}

}  // namespace

TEST(LogFilterParse, AcceptsOrReportsEachDirectiveForm) {
    struct Case {
        std::string piece;
        std::string reason;  // empty: accepted
    };
    const Case cases[] = {
        {"warn", ""},
        {"TRACE", ""},
        {"Debug", ""},
        {"5", ""},
        {"brindlemoor", ""},
        {"6", ""},  // not a level, so a target
        {"brindlemoor::launcher=debug", ""},
        {"my-crate_2::mod=InFo", ""},
        {"brindlemoor=0", ""},
        {"brindlemoor[session]", ""},
        {"brindlemoor[session{id=4[0-9]+}]=debug", ""},
        {"brindlemoor[{peer=^a{2}=$}]", ""},
        {"[session]=warn", ""},
        {"[{peer.addr}]", ""},
        {"brindlemoor[{key}]=debug", ""},
        {"[{message}]", ""},
        {"foo=", ""},
        {"foo[span]=", ""},
        {"[{}]", "invalid filter directive"},
        {"[span{}]", "invalid filter directive"},
        {"brindlemoor[{}]=debug", "invalid filter directive"},
        {"foo=bar", kLevelReason},
        {"foo=6", kLevelReason},
        {"foo[span]=verbose", kLevelReason},
        {"a=b=c", "invalid filter directive: too many '=' in filter directive, expected 0 or 1"},
        {"foo[{id=1}]=info=x", "invalid filter directive: too many '=' in filter directive, expected 0 or 1"},
        {"=info", "invalid filter directive"},
        {"foo bar", "invalid filter directive"},
        {"foo.bar=info", "invalid filter directive"},
        {" info", "invalid filter directive"},
        {"foo[span", "invalid filter directive"},
        {"foo[span]x", "invalid filter directive"},
        {"foo[sp{an]", "invalid filter directive"},
        {"foo[{.x}]", "invalid field filter: invalid field name `.x`"},
    };
    for (const Case& c : cases) {
        const ParsedLogFilter parsed = parse_log_filter(c.piece);
        const std::vector<std::string> expected =
            c.reason.empty() ? std::vector<std::string>{} : std::vector<std::string>{report(c.piece, c.reason)};
        EXPECT_EQ(parsed.reports, expected) << c.piece;
    }
}

TEST(LogFilterParse, FieldPatternsAreRegularExpressions) {
    EXPECT_TRUE(parse_log_filter("foo[{peer=^10\\.0\\.(0|1)\\..*$}]").reports.empty());

    const ParsedLogFilter parsed = parse_log_filter("foo[{peer=(unclosed}]");
    ASSERT_EQ(parsed.reports.size(), 1u);
    const std::string prefix = report("foo[{peer=(unclosed}]", "invalid field filter: ");
    EXPECT_TRUE(parsed.reports[0].starts_with(prefix)) << parsed.reports[0];
    EXPECT_GT(parsed.reports[0].size(), prefix.size()) << "the reason carries the pattern's error";
}

// Patterns that std::regex cannot compile safely: a deeply nested one overflowed the stack at start-up, and a
// count or back-reference beyond 64 bits overflowed a signed integer (one beyond int was silently cut).
TEST(LogFilterParse, RefusesFieldPatternsThatStdRegexCannotCompileSafely) {
    const auto nested = [](std::size_t length) {
        return std::string(length / 2, '(') + std::string(length - length / 2, ')');
    };
    const std::string too_long = "invalid field filter: pattern longer than 1024 bytes";
    const std::string too_large = "invalid field filter: count or back-reference longer than 9 digits";
    const struct {
        std::string pattern;
        std::string reason;  // empty: accepted
    } cases[] = {
        {nested(60000), too_long},
        {nested(1025), too_long},
        {nested(1024), ""},
        {"a{88888888888888888888}", too_large},
        {"a{2147483648}", too_large},
        {"(a)\\12345678901234567890", too_large},
        {"a{0000000000001}", ""},
        {"(a)\\1{2}", ""},
    };
    for (const auto& c : cases) {
        const std::string piece = "x[{a=" + c.pattern + "}]";
        const ParsedLogFilter parsed = parse_log_filter(piece + ",warn");
        const std::vector<std::string> expected =
            c.reason.empty() ? std::vector<std::string>{} : std::vector<std::string>{report(piece, c.reason)};
        EXPECT_EQ(parsed.reports, expected) << c.pattern.substr(0, 40);
        EXPECT_TRUE(parsed.filter.enabled(Level::Warn, "brindlemoor", kMessageOnly));
        EXPECT_FALSE(parsed.filter.enabled(Level::Info, "brindlemoor", kMessageOnly));
    }
}

TEST(LogFilterParse, SplitsAtCommasAndKeepsThePiecesOrder) {
    EXPECT_TRUE(parse_log_filter(",,,").reports.empty());
    EXPECT_TRUE(parse_log_filter(",warn,,").reports.empty());

    const ParsedLogFilter parsed = parse_log_filter("x y,warn,,a=b=c,foo=bar");
    const std::vector<std::string> expected{
        report("x y", "invalid filter directive"),
        report("a=b=c", "invalid filter directive: too many '=' in filter directive, expected 0 or 1"),
        report("foo=bar", kLevelReason),
    };
    EXPECT_EQ(parsed.reports, expected);
}

TEST(LogFilterMatch, DecidesByTheMostSpecificDirective) {
    struct Case {
        std::string filter;
        Level level;
        std::string target;
        bool passes;
    };
    const Case cases[] = {
        // Nothing usable: INFO for every target.
        {"", Level::Info, "brindlemoor", true},
        {"", Level::Warn, "brindlemoor::launcher", true},
        {"", Level::Debug, "brindlemoor", false},
        {",,", Level::Trace, "brindlemoor", false},
        {"x y", Level::Info, "brindlemoor", true},
        {"info,foo=bar", Level::Info, "brindlemoor", true},
        {"info,foo=bar", Level::Debug, "foo", false},
        // A valid directive replaces the default.
        {"warn", Level::Info, "brindlemoor", false},
        {"warn", Level::Error, "brindlemoor", true},
        {"4", Level::Debug, "brindlemoor", true},
        {"4", Level::Trace, "brindlemoor", false},
        // A target directive covers targets it is a plain prefix of; unmatched events are dropped.
        {"brindlemoor::launcher=debug", Level::Debug, "brindlemoor::launcher", true},
        {"brindlemoor::launcher=debug", Level::Trace, "brindlemoor::launcher", false},
        {"brindlemoor::launcher=debug", Level::Warn, "brindlemoor", false},
        {"brindlemoor::launcher=debug", Level::Error, "brindlemoor::bouncer", false},
        {"brindle=debug", Level::Debug, "brindlemoor::stats_vector", true},
        {"brindlemoor=DeBuG", Level::Debug, "brindlemoor", true},
        {"Brindlemoor=debug", Level::Error, "brindlemoor", false},
        // A target alone, or with nothing after "=", lets every level through.
        {"brindlemoor", Level::Trace, "brindlemoor::bouncer", true},
        {"brindlemoor=", Level::Trace, "brindlemoor::bouncer", true},
        {"brindlemoor=,warn", Level::Info, "other", false},
        {"brindlemoor", Level::Error, "other", false},
        // Longest target first, in either order; the level alone comes last.
        {"brindlemoor=error,brindlemoor::launcher=trace", Level::Trace, "brindlemoor::launcher", true},
        {"brindlemoor::launcher=trace,brindlemoor=error", Level::Warn, "brindlemoor::bouncer", false},
        {"trace,brindlemoor=warn", Level::Info, "brindlemoor", false},
        {"brindlemoor=warn,trace", Level::Trace, "other", true},
        {"brindlemoor::launcher=trace,error", Level::Warn, "brindlemoor", false},
        // The later of two directives for the same target counts.
        {"brindlemoor=debug,brindlemoor=warn", Level::Debug, "brindlemoor", false},
        {"brindlemoor=warn,brindlemoor=debug", Level::Debug, "brindlemoor", true},
        {"info,error", Level::Warn, "brindlemoor", false},
        {"error,info", Level::Info, "brindlemoor", true},
        // Off passes nothing.
        {"off", Level::Error, "brindlemoor", false},
        {"0", Level::Error, "brindlemoor", false},
        {"brindlemoor=off,trace", Level::Error, "brindlemoor::launcher", false},
        {"brindlemoor=off,trace", Level::Debug, "other", true},
        // Span directives stay in effect (no INFO default) but no event outside a span matches them.
        {"brindlemoor[session]", Level::Error, "brindlemoor", false},
        {"brindlemoor[{id}]=trace,warn", Level::Info, "brindlemoor", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_log_filter(c.filter).filter.enabled(c.level, c.target, kMessageOnly), c.passes)
            << "filter '" << c.filter << "', level " << static_cast<int>(c.level) << ", target " << c.target;
    }
}

TEST(LogFilterMatch, AFieldNameSelectsTheEventsThatCarryIt) {
    const Field key[] = {Field::unsigned_number("key", 5)};
    const Field start[] = {Field::text_value("target_addr", "10.0.0.1"), Field::optional_text("tag", std::nullopt)};
    const FieldNames key_only{false, key};
    const FieldNames start_event{true, start};
    struct Case {
        std::string filter;
        Level level;
        std::string target;
        FieldNames names;
        bool passes;
    };
    const Case cases[] = {
        {"brindlemoor[{key}]=debug", Level::Debug, "brindlemoor::bouncer", key_only, true},
        {"brindlemoor[{key}]=debug", Level::Trace, "brindlemoor::bouncer", key_only, false},
        {"brindlemoor[{key}]=debug", Level::Debug, "other", key_only, false},
        {"brindlemoor[{key}]=debug", Level::Error, "brindlemoor", kMessageOnly, false},
        {"[{key}]", Level::Trace, "other", key_only, true},
        {"[{message}]", Level::Trace, "brindlemoor", kMessageOnly, true},
        {"[{message}]", Level::Error, "brindlemoor", key_only, false},
        // An absent optional field is still one the event carries.
        {"[{tag}]=info", Level::Info, "brindlemoor::launcher", start_event, true},
        {"[{tag}]=info", Level::Info, "brindlemoor::launcher", kMessageOnly, false},
        // A longer target decides before a field; of equal targets the one with a field decides, and events
        // without that field fall through to the next.
        {"brindlemoor::bouncer=warn,brindlemoor[{key}]=debug", Level::Debug, "brindlemoor::bouncer", key_only, false},
        {"brindlemoor=warn,brindlemoor[{key}]=trace", Level::Debug, "brindlemoor::bouncer", key_only, true},
        {"brindlemoor[{key}]=trace,brindlemoor=warn", Level::Info, "brindlemoor::bouncer", kMessageOnly, false},
        {"brindlemoor[{key}]=trace,brindlemoor=warn", Level::Warn, "brindlemoor::bouncer", kMessageOnly, true},
        {"error,[{target_addr}]=info", Level::Info, "x", start_event, true},
        {"error,[{target_addr}]=info", Level::Info, "x", kMessageOnly, false},
        // Two fields of one target: the later name in byte order decides; the later directive of the same target
        // and field counts.
        {"[{target_addr}]=error,[{tag}]=info", Level::Info, "x", start_event, false},
        {"[{tag}]=info,[{target_addr}]=error", Level::Info, "x", start_event, false},
        {"[{tag}]=info,[{target_addr}]=error", Level::Error, "x", start_event, true},
        {"[{key}]=error,[{key}]=debug", Level::Debug, "x", key_only, true},
        {"[{key}]=debug,[{key}]=error", Level::Debug, "x", key_only, false},
        // A span name or a field value selects spans, which the program never opens.
        {"brindlemoor[span{key}]=trace", Level::Error, "brindlemoor", key_only, false},
        {"brindlemoor[{key=5}]=trace", Level::Error, "brindlemoor", key_only, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_log_filter(c.filter).filter.enabled(c.level, c.target, c.names), c.passes)
            << "filter '" << c.filter << "', level " << static_cast<int>(c.level) << ", target " << c.target;
    }
}

TEST(LogFilterEnv, UnsetOrInvalidUtf8IsEmpty) {
    EXPECT_EQ(filter_text_from_env(nullptr), "");
    EXPECT_EQ(filter_text_from_env("warn,brindlemoor=debug"), "warn,brindlemoor=debug");
    EXPECT_EQ(filter_text_from_env("warn,\xff"), "");
}

// The only test that installs the process-wide subscriber, so the whole binary may run in one process.
TEST(InitLogging, ReportsUnusablePiecesThenLogsThroughTheFilter) {
    EXPECT_FALSE(enabled(Level::Error, "brindlemoor", kMessageOnly));
    ASSERT_EQ(setenv("RUST_LOG", "x y,info,,foo=bar", 1), 0);
    ASSERT_EQ(setenv("NO_COLOR", "", 1), 0);

    testing::internal::CaptureStderr();
    init_logging(OutputMode::JSON);
    info("brindlemoor", "started {}", 1);
    debug("brindlemoor", "dropped");
    init_logging(OutputMode::Standard);  // ignored: the first set-up stays
    log_fields(Level::Warn, "brindlemoor::bouncer", {Field::unsigned_number("key", 7)});
    const std::string output = captured_stderr();

    EXPECT_TRUE(enabled(Level::Info, "brindlemoor", kMessageOnly));
    EXPECT_FALSE(enabled(Level::Debug, "brindlemoor", kMessageOnly));
    const std::string timestamp = R"(\{"timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z",)";
    const std::regex expected(
        "ignoring `x y`: invalid filter directive\n"
        "ignoring `foo=bar`: error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", "
        "\"debug\", \"trace\", or a number 0-5\n" +
        timestamp + R"("level":"INFO","message":"started 1","target":"brindlemoor"\}
)" + timestamp + R"("level":"WARN","key":7,"target":"brindlemoor::bouncer"\}
)");
    EXPECT_TRUE(std::regex_match(output, expected)) << output;
}
