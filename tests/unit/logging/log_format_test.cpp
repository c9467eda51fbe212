#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "log_format.hpp"

using namespace brindlemoor;
using namespace brindlemoor::logging;
using namespace std::chrono;

namespace {

// 2024-05-06T07:08:09.123456789Z; lines show the fraction cut to microseconds.
const WallClock::time_point kTime = time_point_cast<WallClock::duration>(
    sys_days{year{2024} / 5 / 6} + hours{7} + minutes{8} + seconds{9} + nanoseconds{123456789});
const std::string kStamp = "2024-05-06T07:08:09.123456Z";

const std::vector<Field> kEveryKind{
    Field::text_value("name", "a\"b\n\x1b"),
    Field::unsigned_number("count", 18446744073709551615u),
    Field::flag_value("ok", true),
    Field::flag_value("late", false),
    Field::optional_text("tag", std::nullopt),
    Field::display("mode", "json"),
    Field::text_value("log.target", "forwarded"),
};

}  // namespace

TEST(TextLine, PadsTheLevelAndPrintsEachFieldKind) {
    const struct {
        Level level;
        std::string shown;
    } levels[] = {
        {Level::Trace, "TRACE"}, {Level::Debug, "DEBUG"}, {Level::Info, " INFO"},
        {Level::Warn, " WARN"},  {Level::Error, "ERROR"},
    };
    for (const auto& c : levels) {
        const LogEvent event{c.level, "brindlemoor", "hello", {}};
        EXPECT_EQ(format_text_line(kTime, event, false), kStamp + " " + c.shown + " brindlemoor: hello\n");
    }

    const LogEvent event{Level::Info, "brindlemoor::launcher", "Starting", kEveryKind};
    EXPECT_EQ(format_text_line(kTime, event, false),
              kStamp + "  INFO brindlemoor::launcher: Starting name=\"a\\\"b\\n\\u{1b}\" count=18446744073709551615"
                       " ok=true late=false mode=json\n");
}

TEST(TextLine, WithoutMessageStartsWithTheFirstRecordedField) {
    const Field key_only[] = {Field::unsigned_number("key", 1234)};
    EXPECT_EQ(format_text_line(kTime, {Level::Debug, "brindlemoor::bouncer", std::nullopt, key_only}, false),
              kStamp + " DEBUG brindlemoor::bouncer: key=1234\n");

    const Field absent_first[] = {Field::optional_text("tag", std::nullopt), Field::unsigned_number("key", 5)};
    EXPECT_EQ(format_text_line(kTime, {Level::Debug, "brindlemoor", std::nullopt, absent_first}, false),
              kStamp + " DEBUG brindlemoor: key=5\n");
}

TEST(TextLine, ColoursWrapEachPieceAsSpecified) {
    const Field fields[] = {Field::unsigned_number("key", 5), Field::text_value("tag", "x")};
    EXPECT_EQ(format_text_line(kTime, {Level::Info, "brindlemoor", "hi \x1b", fields}, true),
              "\x1b[2m" + kStamp + "\x1b[0m \x1b[32m INFO\x1b[0m \x1b[2mbrindlemoor\x1b[0m\x1b[2m:\x1b[0m hi \\x1b"
                  " \x1b[3mkey\x1b[0m\x1b[2m=\x1b[0m5 \x1b[3mtag\x1b[0m\x1b[2m=\x1b[0m\"x\"\n");

    const Field key_only[] = {Field::unsigned_number("key", 1)};
    EXPECT_EQ(format_text_line(kTime, {Level::Debug, "brindlemoor", std::nullopt, key_only}, true),
              "\x1b[2m" + kStamp + "\x1b[0m \x1b[34mDEBUG\x1b[0m \x1b[2mbrindlemoor\x1b[0m\x1b[2m:\x1b[0m "
                                   "\x1b[3mkey\x1b[0m\x1b[2m=\x1b[0m1\n");

    const struct {
        Level level;
        std::string styled;
    } levels[] = {
        {Level::Trace, "\x1b[35mTRACE\x1b[0m "}, {Level::Warn, "\x1b[33m WARN\x1b[0m "},
        {Level::Error, "\x1b[31mERROR\x1b[0m "},
    };
    for (const auto& c : levels) {
        const std::string line = format_text_line(kTime, {c.level, "brindlemoor", "m", {}}, true);
        EXPECT_NE(line.find("\x1b[0m " + c.styled + "\x1b[2mbrindlemoor"), std::string::npos) << line;
    }
}

TEST(TextLine, MessageEscapesOnlyTerminalControls) {
    const struct {
        std::string message;
        std::string shown;
    } cases[] = {
        {"\x1b[31mred", "\\x1b[31mred"},
        {"\a\b\f\x7f", "\\x07\\x08\\x0c\\x7f"},
        {"\xc2\x80\xc2\x9b\xc2\x9f", "\\u{80}\\u{9b}\\u{9f}"},
        {"a\nb\tc\rd", "a\nb\tc\rd"},
        {std::string("nul\0!", 5), std::string("nul\0!", 5)},
        {"\"q\" \\ caf\xc3\xa9 \xc2\xa0", "\"q\" \\ caf\xc3\xa9 \xc2\xa0"},
        {"bad \xff\xc2", "bad \xff\xc2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_text_line(kTime, {Level::Info, "t", c.message, {}}, false),
                  kStamp + "  INFO t: " + c.shown + "\n");
    }
}

TEST(JsonLine, PutsFieldsBetweenLevelAndTarget) {
    const LogEvent event{Level::Info, "brindlemoor::launcher", "Starting", kEveryKind};
    EXPECT_EQ(format_json_line(kTime, event),
              R"({"timestamp":")" + kStamp + R"(","level":"INFO","message":"Starting","name":"a\"b\n\u001b",)"
              R"("count":18446744073709551615,"ok":true,"late":false,"mode":"json",)"
              R"j("log.target":"forwarded","target":"brindlemoor::launcher"})j"
              "\n");
}

TEST(JsonLine, KeepsADuplicateTargetAndOmitsAnAbsentMessage) {
    const Field start[] = {Field::text_value("target", "10.0.0.1:9000")};
    EXPECT_EQ(format_json_line(kTime, {Level::Warn, "brindlemoor::launcher", "Starting", start}),
              R"({"timestamp":")" + kStamp +
                  R"(","level":"WARN","message":"Starting","target":"10.0.0.1:9000","target":"brindlemoor::launcher"})"
                  "\n");

    const Field key_only[] = {Field::unsigned_number("key", 1234)};
    EXPECT_EQ(format_json_line(kTime, {Level::Debug, "brindlemoor::bouncer", std::nullopt, key_only}),
              R"({"timestamp":")" + kStamp + R"(","level":"DEBUG","key":1234,"target":"brindlemoor::bouncer"})"
                                              "\n");
}

TEST(JsonLine, EscapesStringsAsJsonRequires) {
    const struct {
        std::string message;
        std::string json;
    } cases[] = {
        {"\"\\/", R"("\"\\/")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("\x1b\x01\x1f\0", 4), R"("\u001b\u0001\u001f\u0000")"},
        {"\x7f caf\xc3\xa9 \xc2\x9b", "\"\x7f caf\xc3\xa9 \xc2\x9b\""},
        {"bad \xff", "\"bad \xef\xbf\xbd\""},  // stays valid JSON
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_json_line(kTime, {Level::Error, "t", c.message, {}}),
                  R"({"timestamp":")" + kStamp + R"(","level":"ERROR","message":)" + c.json + R"(,"target":"t"})"
                                                                                             "\n");
    }
}

TEST(Colours, OffOnlyForANonEmptyValidNoColor) {
    EXPECT_TRUE(colours_from_env(nullptr));
    EXPECT_TRUE(colours_from_env(""));
    EXPECT_TRUE(colours_from_env("\xff"));
    EXPECT_FALSE(colours_from_env("1"));
    EXPECT_FALSE(colours_from_env("0"));
}
