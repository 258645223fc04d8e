#include "platform/time_zone_table.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

TEST(TimeZoneTableTest, ReadsNamePosixLines) {
    test::TempDir dir;
    test::write_file(dir / "timezones.ini",
                     "# IANA name=POSIX string\n"
                     "Europe/Berlin=CET-1CEST,M3.5.0,M10.5.0/3\n"
                     "\n"
                     "#Asia/Tokyo=JST-9\n"
                     "no equals sign here\n"
                     "America/New_York=EST5EDT,M3.2.0,M11.1.0\r\n"
                     "Odd/Zone= spaced = kept \n"
                     "Europe/Berlin=CET-1CEST,M3.5.0,M10.5.0/3 (second)\n"
                     "UTC=UTC0");
    const TimeZoneTable table = load_time_zone_table(dir / "timezones.ini");
    EXPECT_EQ(table, (TimeZoneTable{
                         {"America/New_York", "EST5EDT,M3.2.0,M11.1.0"},
                         {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3 (second)"},
                         {"Odd/Zone", " spaced = kept "},
                         {"UTC", "UTC0"},
                     }));
}

TEST(TimeZoneTableTest, MissingFileGivesAnEmptyTable) {
    test::TempDir dir;
    EXPECT_TRUE(load_time_zone_table(dir / "absent.ini").empty());
}

}  // namespace
}  // namespace voxapp
