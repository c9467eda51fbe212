#pragma once

// Process settings that the tests of time stamps, result lines and logged events share.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "logging/logging.hpp"
#include "shared/output_mode.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {

// Local times follow TZ from here on.
inline void set_time_zone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
}

// For tests of text lines, whose times are local times.
class LocalTimeIsUtc : public ::testing::Test {
protected:
    void SetUp() override { set_time_zone("UTC"); }
};

// Error events go to standard error as JSON lines, for a test to capture. The first set-up of the process stays,
// so every test of an executable that calls this must want the same.
inline void log_errors_as_json() {
    ::setenv("RUST_LOG", "error", 1);
    logging::init_logging(OutputMode::JSON);
}

// What the process wrote to standard error (standard output) since gtest's CaptureStderr (CaptureStdout), once
// the writer threads have written everything queued so far.
inline std::string captured_stderr() {
    drain_std_streams(std::chrono::seconds(30));
    return ::testing::internal::GetCapturedStderr();
}
inline std::string captured_stdout() {
    drain_std_streams(std::chrono::seconds(30));
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace brindlemoor
