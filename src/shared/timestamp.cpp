#include "shared/timestamp.hpp"

#include <ctime>
#include <fmt/format.h>

namespace brindlemoor {
namespace {

struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second;
    std::uint32_t nanos;
};

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Proleptic Gregorian calendar date of a count of days since 1970-01-01.
CivilTime civil_from_unix_nanos(std::int64_t unix_nanos) {
    constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
    const std::int64_t seconds = floor_div(unix_nanos, kNanosPerSecond);
    const auto nanos = static_cast<std::uint32_t>(unix_nanos - seconds * kNanosPerSecond);
    const std::int64_t days = floor_div(seconds, 86'400);
    const std::int64_t second_of_day = seconds - days * 86'400;

    const std::int64_t z = days + 719'468;
    const std::int64_t era = floor_div(z, 146'097);
    const std::int64_t doe = z - era * 146'097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    return CivilTime{year,
                     static_cast<unsigned>(month),
                     static_cast<unsigned>(day),
                     static_cast<unsigned>(second_of_day / 3600),
                     static_cast<unsigned>(second_of_day / 60 % 60),
                     static_cast<unsigned>(second_of_day % 60),
                     nanos};
}

std::int64_t unix_nanos(WallClock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

void append_date_time(std::string& out, const CivilTime& t) {
    auto it = std::back_inserter(out);
    if (t.year > 9999) {
        fmt::format_to(it, "+{}", t.year);
    } else if (t.year < 0) {
        fmt::format_to(it, "-{:04}", -t.year);
    } else {
        fmt::format_to(it, "{:04}", t.year);
    }
    fmt::format_to(it, "-{:02}-{:02}T{:02}:{:02}:{:02}", t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace

std::string format_log_timestamp(WallClock::time_point time) {
    const CivilTime t = civil_from_unix_nanos(unix_nanos(time));
    std::string out;
    out.reserve(27);
    append_date_time(out, t);
    fmt::format_to(std::back_inserter(out), ".{:06}Z", t.nanos / 1000);
    return out;
}

std::string format_rfc3339_utc(WallClock::time_point time) {
    const CivilTime t = civil_from_unix_nanos(unix_nanos(time));
    std::string out;
    out.reserve(30);
    append_date_time(out, t);
    auto it = std::back_inserter(out);
    if (t.nanos == 0) {
    } else if (t.nanos % 1'000'000 == 0) {
        fmt::format_to(it, ".{:03}", t.nanos / 1'000'000);
    } else if (t.nanos % 1000 == 0) {
        fmt::format_to(it, ".{:06}", t.nanos / 1000);
    } else {
        fmt::format_to(it, ".{:09}", t.nanos);
    }
    out.push_back('Z');
    return out;
}

std::string format_local_time_millis(WallClock::time_point time) {
    const std::int64_t nanos = unix_nanos(time);
    const std::int64_t seconds = floor_div(nanos, 1'000'000'000);
    const auto millis = static_cast<unsigned>((nanos - seconds * 1'000'000'000) / 1'000'000);
    const auto as_time_t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&as_time_t, &local) == nullptr) {
        const CivilTime t = civil_from_unix_nanos(nanos);
        return fmt::format("{:02}:{:02}:{:02}.{:03}", t.hour, t.minute, t.second, millis);
    }
    return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, millis);
}

}  // namespace brindlemoor
