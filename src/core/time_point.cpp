#include "core/time_point.hpp"

#include <time.h>

#include <chrono>
#include <cstring>

namespace voxapp {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::string format_tm(const std::tm& fields, const char* format) {
    char buffer[256];
    // The formats are the callers' fixed texts; strftime cannot overrun the buffer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &fields);
#pragma GCC diagnostic pop
    return std::string(buffer, length);
}

time_t seconds_of(TimePoint time) {
    // Floor division, so that times before the epoch land in the right second.
    std::int64_t seconds = time / kNanosPerSecond;
    if (time % kNanosPerSecond < 0) {
        --seconds;
    }
    return static_cast<time_t>(seconds);
}

Result<TimePoint> parse(std::string_view text, const char* format, bool utc,
                        TrailingText trailing) {
    const Error failed = Error::fixed("Failed parsing string to DateTime");
    const std::string copy(text);  // strptime needs a terminated string
    std::tm fields{};
    const char* end = strptime(copy.c_str(), format, &fields);
    // An embedded NUL ends strptime's view early: with trailing text refused, the match must
    // reach the real end.
    if (end == nullptr ||
        (trailing == TrailingText::refused && end != copy.c_str() + copy.size())) {
        return failed;
    }
    time_t seconds;
    if (utc) {
        seconds = timegm(&fields);
    } else {
        fields.tm_isdst = -1;
        seconds = mktime(&fields);
    }
    TimePoint nanoseconds = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(seconds), kNanosPerSecond, &nanoseconds)) {
        return failed;
    }
    return nanoseconds;
}

}  // namespace

TimePoint system_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string format_time_point(TimePoint time, const char* format) {
    const time_t seconds = seconds_of(time);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    return format_tm(fields, format);
}

std::string format_local_time_point(TimePoint time, const char* format) {
    const time_t seconds = seconds_of(time);
    std::tm fields{};
    localtime_r(&seconds, &fields);
    return format_tm(fields, format);
}

Result<TimePoint> parse_time_point(std::string_view text, const char* format,
                                   TrailingText trailing) {
    return parse(text, format, true, trailing);
}

Result<TimePoint> parse_local_time_point(std::string_view text, const char* format,
                                         TrailingText trailing) {
    return parse(text, format, false, trailing);
}

std::string log_timestamp() {
    return format_time_point(system_now(), "%Y-%m-%d %H:%M:%S");
}

}  // namespace voxapp
