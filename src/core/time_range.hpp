#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/result.hpp"
#include "core/time_point.hpp"

namespace voxapp {

// A span of time in nanoseconds since the epoch; start is never later than end.
class TimeRange {
public:
    // Fails with "Start time must be before end time" when end is earlier than start; a range
    // of zero length is accepted.
    static Result<TimeRange> create(TimePoint start, TimePoint end);

    TimePoint start() const { return start_; }
    TimePoint end() const { return end_; }

    // Whole seconds of end minus whole seconds of start, each truncated first.
    std::int64_t duration_seconds() const;
    // Strict: a range of zero length overlaps nothing, not even itself.
    bool overlaps(const TimeRange& other) const;
    std::optional<TimeRange> intersection(const TimeRange& other) const;
    // The covering range, overlap or not.
    TimeRange span(const TimeRange& other) const;
    // "[<start> - <end>]", each in local time as "%Y-%m-%d %H:%M:%S".
    std::string to_string() const;

    friend bool operator==(const TimeRange&, const TimeRange&) = default;

private:
    TimeRange(TimePoint start, TimePoint end) : start_(start), end_(end) {}

    TimePoint start_;
    TimePoint end_;
};

}  // namespace voxapp
