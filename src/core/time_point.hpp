#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Nanoseconds since the Unix epoch on the system clock.
using TimePoint = std::int64_t;

TimePoint system_now();

// strftime-style formatting of a time point, in UTC or in local time.
std::string format_time_point(TimePoint time, const char* format);
std::string format_local_time_point(TimePoint time, const char* format);

// Whether a parse accepts text after what the format matched.
enum class TrailingText { ignored, refused };

// The inverse: reads `text` with a strftime-style format (fields not in the format are 0) and
// interprets the fields as UTC, or as local time with daylight saving decided by the system.
// Fails with "Failed parsing string to DateTime" when the text does not match, when text follows
// the match and `trailing` refuses it, or when the time lies outside the time-point scale
// (roughly the years 1678 to 2261).
Result<TimePoint> parse_time_point(std::string_view text, const char* format,
                                   TrailingText trailing = TrailingText::ignored);
Result<TimePoint> parse_local_time_point(std::string_view text, const char* format,
                                         TrailingText trailing = TrailingText::ignored);

// "%Y-%m-%d %H:%M:%S" of now in UTC: the stamp at the start of every log line and console message.
std::string log_timestamp();

}  // namespace voxapp
