#include "cameras/camera_time_zone.hpp"

#include <gtest/gtest.h>

namespace voxapp {
namespace {

TEST(CameraTimeZoneTest, ConvertsTheKnownZonesByteForByte) {
    EXPECT_EQ(camera_time_zone("EET-2EEST,M3.5.0/3,M10.5.0/4"), "CST-2DST1,M3.5.0/3,M10.5.0/4");
    EXPECT_EQ(camera_time_zone("EST5EDT4,M3.2.0,M11.1.0"), "CST5DST1,M3.2.0,M11.1.0");
    EXPECT_EQ(camera_time_zone("UTC0"), "CST0");
    EXPECT_EQ(camera_time_zone("<+0530>-5:30"), "CST-5:30");
    EXPECT_EQ(camera_time_zone("CET-1CEST,M3.5.0,M10.5.0/3"), "CST-1DST1,M3.5.0,M10.5.0/3");
    EXPECT_EQ(camera_time_zone(""), "");
}

TEST(CameraTimeZoneTest, MovesTransitionsOfTwentyFiveHoursOrMoreToLaterDays) {
    EXPECT_EQ(camera_time_zone("IST-2IDT,M3.4.4/26,M10.5.0"), "CST-2DST1,M3.4.5/2,M10.5.0");
    EXPECT_EQ(camera_time_zone("X1Y,M3.4.4/24,M10.5.0/49:30"), "CST1DST1,M3.4.4/24,M10.5.2/1:30");
    EXPECT_EQ(camera_time_zone("X1Y,J60/26,M10.5.0/26"), "CST1DST1,J60/26,M10.5.1/2");
}

TEST(CameraTimeZoneTest, WritesTheDaylightShiftInMinutesForm) {
    EXPECT_EQ(camera_time_zone("<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"),
              "CST-10:30DST0:30,M10.1.0,M4.1.0");
    EXPECT_EQ(camera_time_zone("A0B1"), "CST0DST-1");
    EXPECT_EQ(camera_time_zone("A-1B-3:15"), "CST-1DST2:15");
    EXPECT_EQ(camera_time_zone("A-1B-1"), "CST-1DST0");
}

TEST(CameraTimeZoneTest, KeepsASingleRuleAndDropsWhatItCannotRead) {
    EXPECT_EQ(camera_time_zone("A1B,M3.2.0"), "CST1DST1,M3.2.0");
    EXPECT_EQ(camera_time_zone("A1 junk"), "CST1");
    EXPECT_EQ(camera_time_zone("5"), "5");
    EXPECT_EQ(camera_time_zone("<abc"), "0");
    EXPECT_EQ(camera_time_zone("A99999999999999999999"), "CST99999999999999999999");
}

}  // namespace
}  // namespace voxapp
