#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/directories.hpp"
#include "core/executable_paths.hpp"
#include "core/system_paths.hpp"
#include "core/time_point.hpp"
#include "core/version_info.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

TEST(VersionTest, TextPadsMinorToTwoDigits) {
    const VersionInfo version = build_version_info();
    EXPECT_EQ(version.major, 1);
    EXPECT_EQ(version.minor, 4);
    EXPECT_EQ(version.patch, 0);
    EXPECT_EQ(version.commit.size(), 7u);
    EXPECT_EQ(version_text(version), "1.04.0 (main@" + version.commit + " - 2026-03-30T11:37:13Z)");
    EXPECT_EQ(version_text({2, 13, 5, "t", "b", "c"}), "2.13.5 (b@c - t)");
}

TEST(ExecutablePathsTest, DirectoriesFromTheExecutableLink) {
    EXPECT_EQ(settings_directory_of(std::string("/root/app/voxapp")), "/root/app");
    EXPECT_EQ(application_directory_of(std::string("/root/app/voxapp")), "/root/app");
    EXPECT_EQ(settings_file_path(settings_directory_of(std::string("/app"))), "/settings.ini");
    EXPECT_EQ(application_directory_of(std::string("/app")), "");
}

TEST(ExecutablePathsTest, UnreadableOrSlashlessLinkFallsBack) {
    ::unsetenv("VOXAPP_ROOT");
    EXPECT_EQ(settings_directory_of(std::nullopt), "");
    EXPECT_EQ(settings_directory_of(std::string("voxapp")), "");
    EXPECT_EQ(application_directory_of(std::nullopt), "/root/app");
    EXPECT_EQ(application_directory_of(std::string("voxapp")), "/root/app");
}

TEST(ExecutablePathsTest, RealLinkNamesThisTestsDirectory) {
    EXPECT_FALSE(settings_directory().empty());
    EXPECT_EQ(settings_directory(), application_directory());
}

TEST(SystemPathTest, RelocatesFixedPathsButNotProc) {
    ::setenv("VOXAPP_ROOT", "/tmp/r//", 1);
    EXPECT_EQ(system_path("/etc/config"), "/tmp/r/etc/config");
    EXPECT_EQ(system_path("/proc/self/mountinfo"), "/proc/self/mountinfo");
    EXPECT_EQ(system_path("relative/x"), "relative/x");
    ::unsetenv("VOXAPP_ROOT");
    EXPECT_EQ(system_path("/etc/config"), "/etc/config");
}

TEST(TimePointTest, FormatsInUtc) {
    const TimePoint time = 1'700'000'000'123'456'789;  // 2023-11-14 22:13:20 UTC
    EXPECT_EQ(format_time_point(time, "%Y-%m-%d %H:%M:%S"), "2023-11-14 22:13:20");
    EXPECT_EQ(format_time_point(time, "%Y%m%d%H%M%S"), "20231114221320");
    EXPECT_EQ(format_time_point(-1, "%Y-%m-%d %H:%M:%S"), "1969-12-31 23:59:59");
}

TEST(TimePointTest, LocalFormAndParseFollowTheZone) {
    ::setenv("TZ", "EET-2", 1);
    ::tzset();
    const TimePoint time = 1'700'000'000'000'000'000;
    EXPECT_EQ(format_local_time_point(time, "%H:%M"), "00:13");
    auto parsed = parse_local_time_point("2023-11-15 00:13:20", "%Y-%m-%d %H:%M:%S");
    ::unsetenv("TZ");
    ::tzset();
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(*parsed, time);
}

TEST(TimePointTest, ParsesUtcAndReportsMismatch) {
    auto parsed = parse_time_point("2023-11-14T22:13:20Z", "%Y-%m-%dT%H:%M:%SZ");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(*parsed, 1'700'000'000'000'000'000);
    auto failed = parse_time_point("yesterday", "%Y-%m-%d");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "Failed parsing string to DateTime");
}

TEST(DirectoriesTest, CreatesEveryMissingLevelPrivately) {
    test::TempDir dir;
    ASSERT_TRUE(create_directories(dir / "a/b/c/").ok());
    for (const char* level : {"a", "a/b", "a/b/c"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / level).c_str(), &info), 0) << level;
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
    }
    EXPECT_TRUE(create_directories(dir / "a/b").ok());
}

TEST(DirectoriesTest, FileInTheWayFails) {
    test::TempDir dir;
    test::write_file(dir / "file", "x");
    auto result = create_directories(dir / "file/sub");
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().code(), 0);
    EXPECT_FALSE(create_directories(dir / "file").ok());
}

}  // namespace
}  // namespace voxapp
