// Cost of formatting one log line, text and JSON, for the kinds of events the program writes: a plain message, a
// message with text fields (quoted in text lines), and texts outside ASCII. Compare two builds side by side.
#include <string>

#include <benchmark/benchmark.h>

#include "log_format.hpp"

namespace {

using namespace brindlemoor;
using namespace brindlemoor::logging;

const WallClock::time_point kTime = WallClock::now();

const Field kStartFields[] = {
    Field::text_value("target_addr", "192.168.100.200:4000"),
    Field::unsigned_number("num_sessions", 10),
    Field::display("output_mode", "standard"),
    Field::optional_text("tag", std::string("site-a \"north\" r\xc3\xa9seau")),
};

const LogEvent kPlain{Level::Error, "brindlemoor::launcher_session",
                      "Receive error on Launcher id 17: Connection refused (os error 111)", {}};
const LogEvent kWithFields{Level::Info, "brindlemoor::launcher", "Starting client", kStartFields};
const LogEvent kNonAscii{Level::Warn, "brindlemoor::bouncer",
                         "Pr\xc3\xbc" "fung \xe2\x80\x94 \xe6\xb5\x8b\xe8\xaf\x95 \xf0\x9f\x93\xa1 caf\xc3\xa9 \x1b[1m",
                         {}};

void BM_TextLine(benchmark::State& state, const LogEvent* event, bool colours) {
    for (auto _ : state) benchmark::DoNotOptimize(format_text_line(kTime, *event, colours));
}

void BM_JsonLine(benchmark::State& state, const LogEvent* event) {
    for (auto _ : state) benchmark::DoNotOptimize(format_json_line(kTime, *event));
}

BENCHMARK_CAPTURE(BM_TextLine, plain, &kPlain, false);
BENCHMARK_CAPTURE(BM_TextLine, fields, &kWithFields, false);
BENCHMARK_CAPTURE(BM_TextLine, fields_coloured, &kWithFields, true);
BENCHMARK_CAPTURE(BM_TextLine, non_ascii, &kNonAscii, false);
BENCHMARK_CAPTURE(BM_JsonLine, plain, &kPlain);
BENCHMARK_CAPTURE(BM_JsonLine, fields, &kWithFields);
BENCHMARK_CAPTURE(BM_JsonLine, non_ascii, &kNonAscii);

}  // namespace

BENCHMARK_MAIN();
