#include <gtest/gtest.h>

#include "debug_text.hpp"
#include "open_file_limit.hpp"
#include "output_mode.hpp"
#include "output_test_support.hpp"
#include "timestamp.hpp"

using namespace brindlemoor;
using namespace std::chrono;

namespace {

WallClock::time_point at_unix_nanos(std::int64_t nanos) {
    return WallClock::time_point(duration_cast<WallClock::duration>(nanoseconds(nanos)));
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

TEST(Utf8, ValidityCheck) {
    EXPECT_TRUE(is_valid_utf8("abc \xc2\xb5 \xf0\x9f\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xe2\x82"));          // cut short
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
