#include "gps_fix_file.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace voxapp::sim {
namespace {

constexpr TimePoint kNow = 1'709'647'629'750'000'000;

TEST(GpsFixFileTest, ReadsEveryField) {
    const GpsFixFile fix = parse_gps_fix(
        "# a fix in the Alps\n"
        "latitude=46.056946\n"
        " longitude = -14.505751 \r\n"
        "\n"
        "altitude=-5.5\ncourse=270\nspeed=1.25\naccuracy=3.5\nsatellites=9\nfix_type=2\n"
        "timestamp=1709647600\n",
        kNow);
    EXPECT_EQ(fix.outcome, GpsFixFile::Outcome::fix);
    EXPECT_EQ(fix.record,
              (GpsRecord{-14.505751, 46.056946, -5.5, 270.0, 1.25, 3.5, 9, 2, 1'709'647'600}));
}

TEST(GpsFixFileTest, TimestampNowIsTheClocksSecondAndAbsentKeysAreZero) {
    const GpsFixFile fix = parse_gps_fix("latitude=1\ntimestamp=now\n", kNow);
    EXPECT_EQ(fix.record.timestamp, 1'709'647'629);
    EXPECT_EQ(fix.record.longitude, 0.0);
    EXPECT_EQ(parse_gps_fix("timestamp=now\n", -1).record.timestamp, -1);
}

TEST(GpsFixFileTest, BadLinesAndMissingFiles) {
    for (const char* bad : {"latitude=north\n", "latitude=1.5x\n", "height=3\n", "latitude\n",
                            "satellites=2.5\n", "timestamp=soon\n"}) {
        EXPECT_EQ(parse_gps_fix(bad, kNow).outcome, GpsFixFile::Outcome::invalid) << bad;
    }
    EXPECT_EQ(parse_gps_fix("result=2\n", kNow).result, 2);
    test::TempDir dir;
    EXPECT_EQ(read_gps_fix_file(dir / "absent", kNow).outcome, GpsFixFile::Outcome::no_file);
    test::write_file(dir / "fix", "satellites=4\n");
    EXPECT_EQ(read_gps_fix_file(dir / "fix", kNow).record.satellites, 4);
}

}  // namespace
}  // namespace voxapp::sim
