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

#ifdef VOXAPP_GENERATED_TIMEZONES
// The table the build generates from the IANA database, as the package ships it.
TEST(TimeZoneTableTest, GeneratedTableCarriesThePosixStringsOfKnownZones) {
    const TimeZoneTable table = load_time_zone_table(VOXAPP_GENERATED_TIMEZONES);
    EXPECT_GT(table.size(), 300u);
    EXPECT_EQ(table.at("Europe/Berlin"), "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(table.at("America/New_York"), "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(table.at("Asia/Kolkata"), "IST-5:30");
    EXPECT_EQ(table.at("UTC"), "UTC0");
    EXPECT_FALSE(table.contains("posixrules"));
}
#endif

TEST(TimeZoneTableTest, MissingFileGivesAnEmptyTable) {
    test::TempDir dir;
    EXPECT_TRUE(load_time_zone_table(dir / "absent.ini").empty());
}

}  // namespace
}  // namespace voxapp
