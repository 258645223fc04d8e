#include "core/time_range.hpp"

#include <gtest/gtest.h>

namespace voxapp {
namespace {

constexpr TimePoint kSecond = 1'000'000'000;

TimeRange range(std::int64_t start_s, std::int64_t end_s) {
    return *TimeRange::create(start_s * kSecond, end_s * kSecond);
}

TEST(TimeRangeTest, CreationRejectsOnlyBackwardRanges) {
    EXPECT_TRUE(TimeRange::create(5, 5).ok());
    auto backward = TimeRange::create(6, 5);
    ASSERT_FALSE(backward.ok());
    EXPECT_EQ(backward.error().message(), "Start time must be before end time");
}

TEST(TimeRangeTest, EmptyRangeOverlapsNothingNotEvenItself) {
    const TimeRange empty = range(10, 10);
    EXPECT_EQ(empty.duration_seconds(), 0);
    EXPECT_FALSE(empty.overlaps(empty));
    EXPECT_FALSE(empty.intersection(empty).has_value());
    EXPECT_FALSE(empty.overlaps(range(10, 20)));
}

TEST(TimeRangeTest, TouchingRangesDoNotOverlapButSpan) {
    EXPECT_FALSE(range(10, 20).overlaps(range(20, 30)));
    EXPECT_EQ(range(10, 20).span(range(20, 30)), range(10, 30));
    EXPECT_EQ(*range(10, 25).intersection(range(20, 30)), range(20, 25));
}

TEST(TimeRangeTest, DurationTruncatesEachEndFirst) {
    EXPECT_EQ(TimeRange::create(kSecond - 1, 2 * kSecond)->duration_seconds(), 2);
}

TEST(TimeRangeTest, TextIsLocalTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(range(0, 60).to_string(), "[1970-01-01 00:00:00 - 1970-01-01 00:01:00]");
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace voxapp
