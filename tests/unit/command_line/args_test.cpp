#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "command_line/args.hpp"
#include "version.hpp"

using namespace brindlemoor;
using namespace std::string_literals;

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

ParseOutcome run(std::vector<std::string> arguments, TextColours colours = {}) {
    arguments.insert(arguments.begin(), "/usr/local/bin/brindlemoor");
    return parse_command_line(arguments, colours);
}

Args parsed(const std::vector<std::string>& arguments) {
    ParseOutcome outcome = run(arguments);
    if (const auto* exit_text = std::get_if<ExitText>(&outcome)) {
        ADD_FAILURE() << "parse ended with: " << exit_text->text;
        return {};
    }
    return std::get<Args>(outcome);
}

ExitText exited(const std::vector<std::string>& arguments, TextColours colours = {}) {
    ParseOutcome outcome = run(arguments, colours);
    if (const auto* args = std::get_if<Args>(&outcome)) {
        ADD_FAILURE() << "parse returned: " << args->dump();
        return {};
    }
    return std::get<ExitText>(outcome);
}

Args defaults_with_key(std::uint64_t key) {
    Args args;
    args.key = key;
    args.base_port = 4000;
    args.num_sessions = 10;
    args.interval = 1000;
    args.rate = 10;
    return args;
}

std::string strip_escapes(const std::string& text) {
    return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
}

const std::string kShortHelp =
    "Network monitoring probe and server\n"
    "\n"
    "Usage: brindlemoor [OPTIONS] --key <KEY> [TARGET]\n"
    "\n"
    "Arguments:\n"
    "  [TARGET]  Target\n"
    "\n"
    "Options:\n"
    "  -s, --server                     Server mode\n"
    "  -k, --key <KEY>                  Key\n"
    "  -p, --port <BASE_PORT>           Base port [default: 4000]\n"
    "  -m, --output_mode <OUTPUT_MODE>  Output mode [default: standard] [possible values: standard,\n"
    "                                   verbose, json]\n"
    "  -n, --sessions <NUM_SESSIONS>    Number of sessions [default: 10]\n"
    "  -i, --interval <INTERVAL>        Interval in ms [default: 1000]\n"
    "  -r, --rate <RATE>                Rate packets per interval [default: 10]\n"
    "  -x, --no_probe                   Disable probing of server configuration\n"
    "  -t, --tag <TAG>                  Tag\n"
    "  -h, --help                       Print help (see more with '--help')\n"
    "  -V, --version                    Print version\n";

const std::string kLongHelp =
    "Multi-session constant rate network probe and server\n"
    "\n"
    "Usage: brindlemoor [OPTIONS] --key <KEY> [TARGET]\n"
    "\n"
    "Arguments:\n"
    "  [TARGET]\n"
    "          Target\n"
    "\n"
    "Options:\n"
    "  -s, --server\n"
    "          Server mode\n"
    "\n"
    "  -k, --key <KEY>\n"
    "          Key\n"
    "\n"
    "  -p, --port <BASE_PORT>\n"
    "          Base port\n"
    "\n"
    "          [default: 4000]\n"
    "\n"
    "  -m, --output_mode <OUTPUT_MODE>\n"
    "          Output mode\n"
    "\n"
    "          [default: standard]\n"
    "          [possible values: standard, verbose, json]\n"
    "\n"
    "  -n, --sessions <NUM_SESSIONS>\n"
    "          Number of sessions\n"
    "\n"
    "          [default: 10]\n"
    "\n"
    "  -i, --interval <INTERVAL>\n"
    "          Interval in ms\n"
    "\n"
    "          [default: 1000]\n"
    "\n"
    "  -r, --rate <RATE>\n"
    "          Rate packets per interval\n"
    "\n"
    "          [default: 10]\n"
    "\n"
    "  -x, --no_probe\n"
    "          Disable probing of server configuration\n"
    "\n"
    "  -t, --tag <TAG>\n"
    "          Tag\n"
    "\n"
    "  -h, --help\n"
    "          Print help (see a summary with '-h')\n"
    "\n"
    "  -V, --version\n"
    "          Print version\n";

}  // namespace

TEST(ParseInterval, AcceptsOnlyPlainNumbersAboveFive) {
    struct Case {
        std::string text;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"6", 6},
        {"+6", 6},
        {"006", 6},
        {"1000", 1000},
        {"18446744073709551615", kU64Max},
        {"5", std::nullopt},
        {"0", std::nullopt},
        {"-6", std::nullopt},
        {"ms", std::nullopt},
        {"6ms", std::nullopt},
        {" 6", std::nullopt},
        {"6 ", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"++6", std::nullopt},
        {"6.0", std::nullopt},
        {"1e3", std::nullopt},
        {"18446744073709551616", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_interval(c.text), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(kIntervalError, "Interval must be larger than 5ms");
}

TEST(ParseU64Value, GivesTheIntegerParseReasons) {
    struct Case {
        std::string text;
        ParsedValue<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"0", std::uint64_t{0}},
        {"+5", std::uint64_t{5}},
        {"18446744073709551615", kU64Max},
        {"18446744073709551616", "number too large to fit in target type"},
        {"5a", "invalid digit found in string"},
        {"-1", "invalid digit found in string"},
        {"+", "invalid digit found in string"},
        {"", "cannot parse integer from empty string"},
        // The first fault from the left decides.
        {"99999999999999999999x", "number too large to fit in target type"},
        {"1x99999999999999999999", "invalid digit found in string"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_u64_value(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(ParseU16Value, ReadsSigned64ThenChecksTheRange) {
    struct Case {
        std::string text;
        ParsedValue<std::uint16_t> expected;
    };
    const Case cases[] = {
        {"0", std::uint16_t{0}},
        {"-0", std::uint16_t{0}},
        {"+80", std::uint16_t{80}},
        {"65535", std::uint16_t{65535}},
        {"65536", "65536 is not in 0..=65535"},
        {"-1", "-1 is not in 0..=65535"},
        {"+0070000", "70000 is not in 0..=65535"},
        {"9223372036854775807", "9223372036854775807 is not in 0..=65535"},
        {"-9223372036854775808", "-9223372036854775808 is not in 0..=65535"},
        {"9223372036854775808", "number too large to fit in target type"},
        {"-9223372036854775809", "number too small to fit in target type"},
        {"1_000", "invalid digit found in string"},
        {"--1", "invalid digit found in string"},
        {"", "cannot parse integer from empty string"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_u16_value(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(Defaults, TextsAndRecordWithOnlyAKey) {
    EXPECT_EQ(default_base_port(), "4000");
    EXPECT_EQ(default_output_mode(), "standard");
    EXPECT_EQ(default_num_sessions(), "10");
    EXPECT_EQ(default_interval(), "1000");
    EXPECT_EQ(default_rate(), "10");
    EXPECT_EQ(default_false(), "false");
    EXPECT_EQ(parsed({"-k", "5"}).dump(),
              "Args { server: false, key: 5, base_port: 4000, output_mode: Standard, num_sessions: 10, "
              "interval: 1000, rate: 10, no_probe: false, tag: None, target: None }");
}

TEST(Matching, AcceptsEveryFormOfTheGrammar) {
    struct Case {
        std::vector<std::string> argv;
        void (*adjust)(Args&);
    };
    const Case cases[] = {
        {{"-k5"}, [](Args&) {}},
        {{"--key=5"}, [](Args&) {}},
        {{"--key", "5"}, [](Args&) {}},
        {{"-k", "+5"}, [](Args&) {}},
        {{"-sxk5"}, [](Args& a) { a.server = a.no_probe = true; }},
        {{"-xs", "-k", "5"}, [](Args& a) { a.server = a.no_probe = true; }},
        {{"-k", "5", "--", "-s"}, [](Args& a) { a.target = "-s"; }},
        {{"-k", "5", "--", "--"}, [](Args& a) { a.target = "--"; }},
        {{"-k", "5", "-"}, [](Args& a) { a.target = "-"; }},
        {{"-k", "5", "/s"}, [](Args& a) { a.target = "/s"; }},
        {{"-k", "5", ""}, [](Args& a) { a.target = ""; }},
        // The argument after an option is its value unless it is itself an option or a group of short flags;
        // "-" alone is a value. An attached value is all that follows the short name (without one '=') or the
        // first '=' of the long name, also when that is empty.
        {{"-k", "5", "-t", "-"}, [](Args& a) { a.tag = "-"; }},
        {{"-t", "", "-k5"}, [](Args& a) { a.tag = ""; }},
        {{"-k5", "-t-x"}, [](Args& a) { a.tag = "-x"; }},
        {{"-k=5", "-t=x"}, [](Args& a) { a.tag = "x"; }},
        {{"-k5", "-t==x"}, [](Args& a) { a.tag = "=x"; }},
        {{"-k5", "-t="}, [](Args& a) { a.tag = ""; }},
        {{"-k5", "--tag=-x=y"}, [](Args& a) { a.tag = "-x=y"; }},
        {{"-k5", "--tag=", "127.0.0.1"},
         [](Args& a) {
             a.tag = "";
             a.target = "127.0.0.1";
         }},
        {{"-k5", "-t", "-", "--", "-t"},
         [](Args& a) {
             a.tag = "-";
             a.target = "-t";
         }},
        {{"-k5", "-t", "", "--output_mode", "verbose"},
         [](Args& a) {
             a.tag = "";
             a.output_mode = OutputMode::Verbose;
         }},
        {{"--key=18446744073709551615", "--port=65535", "--output_mode=json", "--sessions=0", "--interval=6",
          "--rate=0", "--no_probe", "--tag=t", "--server", "host"},
         [](Args& a) {
             a.key = kU64Max;
             a.base_port = 65535;
             a.output_mode = OutputMode::JSON;
             a.num_sessions = 0;
             a.interval = 6;
             a.rate = 0;
             a.no_probe = a.server = true;
             a.tag = "t";
             a.target = "host";
         }},
        {{"host", "-k", "0", "-p0", "-n65535", "-i+006", "-r18446744073709551615", "-mstandard"},
         [](Args& a) {
             a.key = 0;
             a.base_port = 0;
             a.num_sessions = 65535;
             a.interval = 6;
             a.rate = kU64Max;
             a.target = "host";
         }},
    };
    for (const Case& c : cases) {
        Args expected = defaults_with_key(5);
        c.adjust(expected);
        EXPECT_EQ(parsed(c.argv).dump(), expected.dump()) << ::testing::PrintToString(c.argv);
    }
}

TEST(UsageErrors, ExactTextsOnStandardErrorWithStatusTwo) {
    const std::string usage = "\n\nUsage: brindlemoor [OPTIONS] --key <KEY> [TARGET]";
    const std::string more = "\n\nFor more information, try '--help'.\n";
    const std::string modes = "\n  [possible values: standard, verbose, json]";
    struct Case {
        std::vector<std::string> argv;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "error: the following required arguments were not provided:\n  --key <KEY>" + usage + more},
        {{"--server"}, "error: the following required arguments were not provided:\n  --key <KEY>" + usage + more},
        {{"-k5", "--bogus"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"-k5", "--output-mode=json"}, "error: unexpected argument '--output-mode' found" + usage + more},
        {{"-k5", "--Server"}, "error: unexpected argument '--Server' found" + usage + more},
        {{"-k5", "--serv"}, "error: unexpected argument '--serv' found" + usage + more},
        {{"-k5", "-sz"}, "error: unexpected argument '-z' found" + usage + more},
        {{"-k5", "-s=yes"}, "error: unexpected argument '-=' found" + usage + more},
        {{"-k5", "--=x"}, "error: unexpected argument '--' found" + usage + more},
        {{"-k5", "--bogus=x"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"-k5", "---x"}, "error: unexpected argument '---x' found" + usage + more},
        // Short flags are looked up one by one; a negative number is a short flag too.
        {{"-k5", "-s5"}, "error: unexpected argument '-5' found" + usage + more},
        {{"-k5", "-5"}, "error: unexpected argument '-5' found" + usage + more},
        {{"-k5", "-p", "-1"}, "error: unexpected argument '-1' found" + usage + more},
        {{"-k5", "-\xc3\xa9"}, "error: unexpected argument '-\xc3\xa9' found" + usage + more},
        {{"-k5", "a", "b"}, "error: unexpected argument 'b' found" + usage + more},
        {{"-k5", "a", "--", "--x=y"}, "error: unexpected argument '--x=y' found" + usage + more},
        {{"-k"}, "error: a value is required for '--key <KEY>' but none was supplied" + more},
        {{"-sk"}, "error: a value is required for '--key <KEY>' but none was supplied" + more},
        {{"-k", "5", "-t", "-s"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"--key", "-s"}, "error: a value is required for '--key <KEY>' but none was supplied" + more},
        {{"-k5", "--tag", "-h"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"-k5", "-t", "--key=5"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"-k5", "-t", "--", "x"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"-k5", "-t", "--"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"-k5", "-p1", "--port"}, "error: a value is required for '--port <BASE_PORT>' but none was supplied" + more},
        {{"-k5", "-m"},
         "error: a value is required for '--output_mode <OUTPUT_MODE>' but none was supplied" + modes + more},
        {{"-k5", "--output_mode="},
         "error: a value is required for '--output_mode <OUTPUT_MODE>' but none was supplied" + modes + more},
        {{"-k5", "-m="},
         "error: a value is required for '--output_mode <OUTPUT_MODE>' but none was supplied" + modes + more},
        // An unknown argument is reported before the option that waits for a value.
        {{"-k5", "-t", "--bogus"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"-k5", "-t", "-sz"}, "error: a value is required for '--tag <TAG>' but none was supplied" + more},
        {{"-k", "x", "--bogus"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"--key="}, "error: invalid value '' for '--key <KEY>': cannot parse integer from empty string" + more},
        {{"-k="}, "error: invalid value '' for '--key <KEY>': cannot parse integer from empty string" + more},
        {{"-k5", "--interval="},
         "error: invalid value '' for '--interval <INTERVAL>': Interval must be larger than 5ms" + more},
        {{"-k", "x"}, "error: invalid value 'x' for '--key <KEY>': invalid digit found in string" + more},
        {{"-k", "18446744073709551616"},
         "error: invalid value '18446744073709551616' for '--key <KEY>': number too large to fit in target type" +
             more},
        {{"-k5", "-r", ""},
         "error: invalid value '' for '--rate <RATE>': cannot parse integer from empty string" + more},
        {{"-k5", "--port=-1"}, "error: invalid value '-1' for '--port <BASE_PORT>': -1 is not in 0..=65535" + more},
        {{"-k5", "-p-1"}, "error: invalid value '-1' for '--port <BASE_PORT>': -1 is not in 0..=65535" + more},
        {{"-k5", "--sessions", "65536"},
         "error: invalid value '65536' for '--sessions <NUM_SESSIONS>': 65536 is not in 0..=65535" + more},
        {{"-k5", "-n-99999999999999999999"},
         "error: invalid value '-99999999999999999999' for '--sessions <NUM_SESSIONS>': number too small to fit in "
         "target type" + more},
        {{"-k5", "-i5"},
         "error: invalid value '5' for '--interval <INTERVAL>': Interval must be larger than 5ms" + more},
        {{"-k5", "--interval", "6ms"},
         "error: invalid value '6ms' for '--interval <INTERVAL>': Interval must be larger than 5ms" + more},
        {{"-k5", "-m", "JSON"}, "error: invalid value 'JSON' for '--output_mode <OUTPUT_MODE>'" + modes + more},
        {{"-k5", "-mj"}, "error: invalid value 'j' for '--output_mode <OUTPUT_MODE>'" + modes + more},
        {{"-s", "-k5", "--server"}, "error: the argument '--server' cannot be used multiple times" + usage + more},
        {{"-k5", "-xx"}, "error: the argument '--no_probe' cannot be used multiple times" + usage + more},
        {{"-p", "1", "--port", "x", "-k5"},
         "error: the argument '--port <BASE_PORT>' cannot be used multiple times" + usage + more},
        {{"-k5", "-k5"}, "error: the argument '--key <KEY>' cannot be used multiple times" + usage + more},
        {{"-k5", "--server=yes"},
         "error: unexpected value 'yes' for '--server' found; no more were expected" + usage + more},
        {{"-k5", "--no_probe=true"},
         "error: unexpected value 'true' for '--no_probe' found; no more were expected" + usage + more},
        {{"-k5", "--no_probe="},
         "error: unexpected value '' for '--no_probe' found; no more were expected" + usage + more},
        {{"--help=x"}, "error: unexpected value 'x' for '--help' found; no more were expected" + usage + more},
        {{"-k5", "\xff"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        {{"-k5", "--tag", "a\xc3"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        {{"-k5", "--t\xe9g"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        {{"-k5", "-s\xff"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        {{"-k5", "a", "\xff"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        // Text that is not UTF-8 is refused when its argument takes effect, before a later help flag.
        {{"-t", "\xff", "-h"}, "error: invalid UTF-8 was detected in one or more arguments" + usage + more},
        // The first fault met ends the parse, even before a later help flag.
        {{"--port", "x", "-h"},
         "error: invalid value 'x' for '--port <BASE_PORT>': invalid digit found in string" + more},
        {{"--bogus", "-k", "x"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"--bogus", "-h"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"--bogus"}, "error: unexpected argument '--bogus' found" + usage + more},
        {{"-k", "x", "-V"}, "error: invalid value 'x' for '--key <KEY>': invalid digit found in string" + more},
    };
    for (const Case& c : cases) {
        const ExitText exit_text = exited(c.argv);
        EXPECT_EQ(exit_text.text, c.expected) << ::testing::PrintToString(c.argv);
        EXPECT_EQ(exit_text.stream, ExitText::Stream::standard_error);
        EXPECT_EQ(exit_text.exit_status, 2);
    }
}

TEST(UsageErrors, UsageLineNamesTheProgramFile) {
    struct Case {
        std::string argv0;
        std::string program;
    };
    const Case cases[] = {
        {"./probe", "probe"},       {"/opt/bm/probe", "probe"}, {"probe/", "probe"},
        {"/opt/probe/.", "probe"},  {"", "brindlemoor"},        {"/", "brindlemoor"},
        {"bin/..", "brindlemoor"}, {"/opt/pr\xffobe", "brindlemoor"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> argv{c.argv0};
        const ParseOutcome outcome = parse_command_line(argv, {});
        ASSERT_TRUE(std::holds_alternative<ExitText>(outcome));
        const std::string usage = "\n\nUsage: " + c.program + " [OPTIONS] --key <KEY> [TARGET]\n";
        EXPECT_NE(std::get<ExitText>(outcome).text.find(usage), std::string::npos)
            << ::testing::PrintToString(c.argv0);
    }
    EXPECT_TRUE(std::holds_alternative<ExitText>(parse_command_line({}, {})));
}

TEST(HelpAndVersion, PrintToStandardOutputWithStatusZeroWhenMet) {
    struct Case {
        std::vector<std::string> argv;
        std::string expected;
    };
    const std::string version = std::string("brindlemoor ") + kVersion + "\n";
    const Case cases[] = {
        {{"-h"}, kShortHelp},
        {{"--help"}, kLongHelp},
        {{"-V"}, version},
        {{"--version"}, version},
        {{"-sh"}, kShortHelp},
        {{"-s", "--help", "--bogus", "-k"}, kLongHelp},
        {{"-h", "\xff"}, kShortHelp},
        {{"-V\xff"}, version},
        {{"-k", "5", "-t", "x", "--help"}, kLongHelp},
        {{"-p", "1", "-V", "-p", "2"}, version},
    };
    for (const Case& c : cases) {
        const ExitText exit_text = exited(c.argv);
        EXPECT_EQ(exit_text.text, c.expected) << ::testing::PrintToString(c.argv);
        EXPECT_EQ(exit_text.stream, ExitText::Stream::standard_output);
        EXPECT_EQ(exit_text.exit_status, 0);
    }
    EXPECT_TRUE(std::regex_match(kVersion, std::regex("1\\.0\\.5-[0-9a-f]{7}")));
}

TEST(Colours, StyleTheTextsOfTheirOwnStreamOnly) {
    const ExitText coloured_error = exited({"-k", "x"}, {false, true});
    EXPECT_EQ(coloured_error.text,
              "\x1b[1m\x1b[31merror:\x1b[0m invalid value '\x1b[33mx\x1b[0m' for '\x1b[1m--key <KEY>\x1b[0m': invalid "
              "digit found in string\n\nFor more information, try '\x1b[1m--help\x1b[0m'.\n");
    EXPECT_EQ(exited({"-k", "x"}, {true, false}).text.find('\x1b'), std::string::npos);

    const ExitText missing = exited({}, {false, true});
    EXPECT_NE(missing.text.find("\n  \x1b[32m--key <KEY>\x1b[0m\n\n\x1b[1m\x1b[4mUsage:\x1b[0m "
                                "\x1b[1mbrindlemoor\x1b[0m [OPTIONS] \x1b[1m--key\x1b[0m <KEY> [TARGET]\n"),
              std::string::npos);

    // Styles must not shift the columns or the wrapping.
    for (const auto& [flag, plain] : {std::pair{"-h", kShortHelp}, std::pair{"--help", kLongHelp}}) {
        const ExitText help = exited({flag}, {true, false});
        EXPECT_NE(help.text, plain);
        EXPECT_EQ(strip_escapes(help.text), plain);
        EXPECT_NE(help.text.find("\x1b[1m-m\x1b[0m, \x1b[1m--output_mode\x1b[0m <OUTPUT_MODE>"), std::string::npos);
        EXPECT_EQ(exited({flag}, {false, true}).text, plain);
    }
}

TEST(Colours, FollowTheCommonVariables) {
    struct Case {
        ColourEnvironment environment;
        bool is_terminal;
        bool expected;
    };
    const std::optional<std::string> unset;
    const Case cases[] = {
        {{unset, unset, unset, "xterm", unset}, true, true},
        {{unset, unset, unset, "xterm", unset}, false, false},
        {{unset, unset, unset, "dumb", unset}, true, false},
        {{unset, unset, unset, unset, unset}, true, false},
        {{unset, unset, unset, unset, ""}, true, true},
        {{unset, unset, "1", unset, unset}, true, true},
        {{unset, unset, "0", "xterm", unset}, true, false},
        {{"1", "1", unset, "xterm", unset}, true, false},
        {{"", unset, unset, "xterm", unset}, true, true},
        {{unset, "1", unset, unset, unset}, false, true},
        {{unset, "", "0", unset, unset}, false, true},
        {{unset, "0", unset, unset, unset}, false, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(colours_wanted(cases[i].environment, cases[i].is_terminal), cases[i].expected) << "case " << i;
    }
}

TEST(Dump, QuotesTagAndTargetWithEscapes) {
    Args args = defaults_with_key(5);
    args.tag = "a\"b\\c\td\r\n\0e\x01\u00e9"s;
    args.target = "127.0.0.1";
    EXPECT_EQ(args.dump(),
              "Args { server: false, key: 5, base_port: 4000, output_mode: Standard, num_sessions: 10, interval: 1000, "
              "rate: 10, no_probe: false, tag: Some(\"a\\\"b\\\\c\\td\\r\\n\\0e\\u{1}\u00e9\"), "
              "target: Some(\"127.0.0.1\") }");
}
