#include <gtest/gtest.h>

#include <fmt/format.h>

#include "output_test_support.hpp"
#include "shared/debug_text.hpp"
#include "shared/open_file_limit.hpp"
#include "shared/output_mode.hpp"
#include "shared/timestamp.hpp"
#include "shared/utf8.hpp"

using namespace brindlemoor;
using namespace std::chrono;

namespace {

WallClock::time_point at_unix_nanos(std::int64_t nanos) {
    return WallClock::time_point(duration_cast<WallClock::duration>(nanoseconds(nanos)));
}

std::string utf8_encoded(std::uint32_t cp) {
    const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
    if (cp < 0x80) return {byte(cp)};
    if (cp < 0x800) return {byte(0xC0 | (cp >> 6)), byte(0x80 | (cp & 0x3F))};
    if (cp < 0x10000) return {byte(0xE0 | (cp >> 12)), byte(0x80 | ((cp >> 6) & 0x3F)), byte(0x80 | (cp & 0x3F))};
    return {byte(0xF0 | (cp >> 18)), byte(0x80 | ((cp >> 12) & 0x3F)), byte(0x80 | ((cp >> 6) & 0x3F)),
            byte(0x80 | (cp & 0x3F))};
}

}  // namespace

TEST(DebugQuoted, EscapesLikeADebugForm) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"q\"b\\", R"("q\"b\\")"},
        {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
        {"\x1b[1m", R"("\u{1b}[1m")"},
        {"\x7f", R"("\u{7f}")"},
        {"caf\xc3\xa9 \xc2\xb5s", "\"caf\xc3\xa9 \xc2\xb5s\""},
        {"e\xcc\x81", R"("e\u{301}")"},
        {"\xe2\x80\x8b", R"("\u{200b}")"},
        {"bad\xff", R"("bad\x{ff}")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(debug_quoted(c.input), c.expected) << c.input;
    }
}

// Which code points the debug form escapes, by category and property; ranges that the Unicode data gives only by
// their ends (CJK, Hangul, private use) and code points it does not list (unassigned) included.
TEST(DebugQuoted, EscapesExactlyTheCodePointsThatDoNotShowAsThemselves) {
    struct Case {
        char32_t code_point;
        bool escaped;
    };
    const Case cases[] = {
        {U'a', false},     {U'~', false},     {0x0020, false},   {0x00E9, false},  {0x0903, false},  // Mc, no extend
        {0x4E00, false},   {0x9FFF, false},   {0xAC00, false},   {0xD7A3, false},  {0x31350, false},
        {0x323AF, false},  {0x1F600, false},  {0x10FFFD, true},  {0x007F, true},   {0x0085, true},   // Cc
        {0x00AD, true},    {0x08E2, true},    {0x13430, true},   {0x1BCA0, true},  {0xFEFF, true},   // Cf
        {0xE0020, true},   {0x200D, true},    {0xE000, true},    {0xF0000, true},                    // Co
        {0x0378, true},    {0x2065, true},    {0xD7A4, true},    {0x323B0, true},  {0x10FFFF, true}, // Cn
        {0x00A0, true},    {0x3000, true},    {0x2028, true},    {0x2029, true},                     // Zs, Zl, Zp
        {0x0301, true},    {0x0941, true},    {0xFF9E, true},                                        // extend
    };
    for (const Case& c : cases) {
        const auto cp = static_cast<std::uint32_t>(c.code_point);
        const std::string text = utf8_encoded(cp);
        const std::string expected = c.escaped ? fmt::format("\"x\\u{{{:x}}}y\"", cp) : "\"x" + text + "y\"";
        EXPECT_EQ(debug_quoted("x" + text + "y"), expected) << fmt::format("U+{:04X}", cp);
    }
}

TEST(Utf8, ValidityCheck) {
    EXPECT_TRUE(is_valid_utf8("abc \xc2\xb5 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xe2\x82"));          // cut short
    EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\x80"));              // stray continuation
}

TEST(OutputModeText, BothNamesAndParsing) {
    EXPECT_EQ(as_str(OutputMode::Standard), "standard");
    EXPECT_EQ(as_str(OutputMode::Verbose), "verbose");
    EXPECT_EQ(as_str(OutputMode::JSON), "json");
    EXPECT_EQ(variant_name(OutputMode::Standard), "Standard");
    EXPECT_EQ(variant_name(OutputMode::Verbose), "Verbose");
    EXPECT_EQ(variant_name(OutputMode::JSON), "JSON");
    EXPECT_EQ(parse_output_mode("json"), OutputMode::JSON);
    EXPECT_EQ(parse_output_mode("JSON"), std::nullopt);
    EXPECT_EQ(parse_output_mode("j"), std::nullopt);
}

TEST(Timestamps, UtcForms) {
    struct Case {
        std::int64_t unix_nanos;
        const char* log;
        const char* rfc3339;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00.000000Z", "1970-01-01T00:00:00Z"},
        {1'700'000'000'123'000'000, "2023-11-14T22:13:20.123000Z", "2023-11-14T22:13:20.123Z"},
        {1'700'000'000'123'456'000, "2023-11-14T22:13:20.123456Z", "2023-11-14T22:13:20.123456Z"},
        {1'700'000'000'123'456'789, "2023-11-14T22:13:20.123456Z", "2023-11-14T22:13:20.123456789Z"},
        {951'782'400'000'000'001, "2000-02-29T00:00:00.000000Z", "2000-02-29T00:00:00.000000001Z"},
        {-1'000'000'000, "1969-12-31T23:59:59.000000Z", "1969-12-31T23:59:59Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_log_timestamp(at_unix_nanos(c.unix_nanos)), c.log);
        EXPECT_EQ(format_rfc3339_utc(at_unix_nanos(c.unix_nanos)), c.rfc3339);
    }
}

TEST(Timestamps, LocalMillisAreCutNotRounded) {
    set_time_zone("UTC");
    EXPECT_EQ(format_local_time_millis(at_unix_nanos(1'700'000'000'999'900'000)), "22:13:20.999");
    EXPECT_EQ(format_local_time_millis(at_unix_nanos(1'700'000'000'000'000'000)), "22:13:20.000");
    set_time_zone("Europe/Berlin");
    EXPECT_EQ(format_local_time_millis(at_unix_nanos(1'700'000'000'512'000'000)), "23:13:20.512");
}

TEST(OpenFileLimit, RaisesTheSoftLimitAsFarAsTheHardLimitAllows) {
    const struct {
        rlim_t soft, hard, needed;
        std::optional<rlim_t> raised;
    } cases[] = {
        {1024, 524288, 1064, 524288},
        {1024, 1024, 1064, 1024},  // as high as it goes; the sockets beyond it fail their set-up
        {1024, 2048, 1024, std::nullopt},
        {4096, 8192, 1064, std::nullopt},
        {1024, RLIM_INFINITY, 1064, 1064},
        {RLIM_INFINITY, RLIM_INFINITY, 65599, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(raised_soft_limit(c.soft, c.hard, c.needed), c.raised) << c.soft << " " << c.hard << " " << c.needed;
    }
}
