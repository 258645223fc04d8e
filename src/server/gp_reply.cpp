#include "server/gp_reply.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>

namespace voxapp {

namespace {

// Truncation toward zero that cannot overflow: values beyond the range saturate, NaN reads 0.
std::int64_t truncated(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kLimit = 9.2e18;
    if (value >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

// Whole degrees without sign, then minutes, seconds and milliseconds keeping the coordinate's
// sign, then the hemisphere letter. The letter follows the sign of the value itself: between 0
// and 1 degree the whole degrees are 0 and say nothing about the hemisphere.
std::string angle_fields(double value, char positive, char negative) {
    const std::int64_t degrees = truncated(value);
    const double minutes_exact = (value - static_cast<double>(degrees)) * 60;
    const std::int64_t minutes = truncated(minutes_exact);
    const double seconds_exact = (minutes_exact - static_cast<double>(minutes)) * 60;
    const std::int64_t seconds = truncated(seconds_exact);
    const std::int64_t millis = truncated((seconds_exact - static_cast<double>(seconds)) * 1000);
    char text[96];
    std::snprintf(text, sizeof text, "%lld,%lld,%lld,%lld,%c",
                  static_cast<long long>(degrees < 0 ? -degrees : degrees),
                  static_cast<long long>(minutes), static_cast<long long>(seconds),
                  static_cast<long long>(millis), value < 0 ? negative : positive);
    return text;
}

int status_of(const GpsFix& fix) {
    return fix.satellite_count >= 4 ? 1 : 2;
}

}  // namespace

std::string gp_long_reply(const Result<GpsFix>& fix) {
    if (!fix) {
        return "#7,GP,-1,0,0,0,0,0,0,0,0,0,0,-,0,0,0,0,-,0,0,0;";
    }
    const time_t seconds = static_cast<time_t>(fix->fix_time / 1'000'000'000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char head[96];
    std::snprintf(head, sizeof head, "#7,GP,%d,%d,%d,%d,%d,%d,%d,", status_of(*fix),
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    char tail[64];
    std::snprintf(tail, sizeof tail, ",%lld,%lld;",
                  static_cast<long long>(truncated(fix->altitude * 10)),
                  static_cast<long long>(truncated(fix->speed * 10)));
    return head + angle_fields(fix->latitude, 'N', 'S') + "," +
           angle_fields(fix->longitude, 'E', 'W') + tail;
}

std::string gp_short_reply(const Result<GpsFix>& fix) {
    if (!fix) {
        return "#7,GP,-1,0,0,0,0;";
    }
    char text[160];
    std::snprintf(text, sizeof text, "#7,GP,%d,%f,%f,%lld,%lld;", status_of(*fix), fix->latitude,
                  fix->longitude, static_cast<long long>(truncated(fix->altitude * 10)),
                  static_cast<long long>(truncated(fix->speed * 10)));
    return text;
}

}  // namespace voxapp
