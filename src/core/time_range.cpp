#include "core/time_range.hpp"

#include <algorithm>

namespace voxapp {

Result<TimeRange> TimeRange::create(TimePoint start, TimePoint end) {
    if (end < start) {
        return Error::fixed("Start time must be before end time");
    }
    return TimeRange(start, end);
}

std::int64_t TimeRange::duration_seconds() const {
    return end_ / 1'000'000'000 - start_ / 1'000'000'000;
}

bool TimeRange::overlaps(const TimeRange& other) const {
    return start_ < other.end_ && other.start_ < end_;
}

std::optional<TimeRange> TimeRange::intersection(const TimeRange& other) const {
    if (!overlaps(other)) {
        return std::nullopt;
    }
    return TimeRange(std::max(start_, other.start_), std::min(end_, other.end_));
}

TimeRange TimeRange::span(const TimeRange& other) const {
    return TimeRange(std::min(start_, other.start_), std::max(end_, other.end_));
}

std::string TimeRange::to_string() const {
    return "[" + format_local_time_point(start_, "%Y-%m-%d %H:%M:%S") + " - " +
           format_local_time_point(end_, "%Y-%m-%d %H:%M:%S") + "]";
}

}  // namespace voxapp
