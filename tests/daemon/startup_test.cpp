#include <signal.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_process.hpp"
#include "support/log_text.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto kBound = 10s;
const std::string kBanner = "Starting KELM VOX application version 1.04.0 (main@";

std::vector<std::string> lines_of(const std::string& text) {
    return unstamped_lines(text);
}

TEST(ToolModeTest, Md5PrintsTheDigestWithCrLf) {
    DaemonRoot root;
    auto process = start_daemon(root, {"md5", "abc"});
    ASSERT_EQ(process.wait_for_exit(kBound), 0);
    EXPECT_EQ(process.output(), "MD5 - 900150983CD24FB0D6963F7D28E17F72\r\n");
    EXPECT_FALSE(std::filesystem::exists(root / "var/log/voxapp.log"));
}

TEST(ToolModeTest, UnitPassPrintsThePassword) {
    DaemonRoot root;
    auto process = start_daemon(root, {"unit_pass", "-1", "abc", "ignored"});
    ASSERT_EQ(process.wait_for_exit(kBound), 0);
    EXPECT_THAT(process.output(), ::testing::MatchesRegex("unit_pass - [0-9A-F]{32}\r\n"));
}

// Starts the daemon, waits for its banner, stops it with `signal_number` and returns it.
class DaemonRunTest : public ::testing::Test {
protected:
    void run_until_stopped(const std::vector<std::string>& arguments, int signal_number) {
        auto process = start_daemon(root_, arguments);
        ASSERT_TRUE(process.wait_for_output(kBanner, kBound)) << process.output();
        ASSERT_TRUE(process.wait_for_signal_handler(signal_number, kBound));
        process.send_signal(signal_number);
        exit_code_ = process.wait_for_exit(kBound);
        console_ = process.output();
        errors_ = process.errors();
    }
    std::string log_file() const { return read_file(root_ / "var/log/voxapp.log"); }

    DaemonRoot root_;
    std::optional<int> exit_code_;
    std::string console_;
    std::string errors_;
};

TEST_F(DaemonRunTest, WithoutSettingsWarnsOnConsoleAndInTheLogFile) {
    run_until_stopped({}, SIGTERM);
    ASSERT_EQ(exit_code_, 0);
    const std::string warning = " [WARNING] Settings file not found: " + root_.app_dir() +
                                "/settings.ini - using only default configuration";
    const auto console = lines_of(console_);
    ASSERT_GE(console.size(), 2u);
    EXPECT_THAT(console[0], ::testing::StartsWith(" [INFO] " + kBanner));
    EXPECT_EQ(console[1], warning);
    const auto log = lines_of(log_file());
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], " [INFO] Switched logging to internal storage at: " + root_.path() +
                          "/var/log/voxapp.log");
    EXPECT_EQ(log[1], console[0]);
    EXPECT_EQ(log[2], warning);
}

TEST_F(DaemonRunTest, StopsOnSigtermAndSigintWithBothLinesInOrder) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        run_until_stopped({}, signal_number);
        ASSERT_EQ(exit_code_, 0) << errors_;
        // The bus worker's retry warning of a machine without ubusd comes from its own thread
        // and may fall between the two lines.
        auto log = lines_of(console_);
        std::erase_if(log, [](const std::string& line) {
            return line.find(" [Ubus] ") != std::string::npos;
        });
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], " [INFO] Received stop signal, stopping application...");
        EXPECT_EQ(log[log.size() - 1], " [INFO] Done Application run...");
    }
}

TEST_F(DaemonRunTest, SettingsFileIsReadAndWritesTheHeartbeat) {
    root_.write_settings("heartbeat_path=" + (root_ / "beat") +
                         "\nmin_logging_level=warning\nbogus=1\n");
    auto process = start_daemon(root_, {});
    // The heartbeat is written at once when the main loop starts.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!std::filesystem::exists(root_ / "beat") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(process.wait_for_signal_handler(SIGTERM, kBound));
    process.send_signal(SIGTERM);
    ASSERT_EQ(process.wait_for_exit(kBound), 0);
    EXPECT_THAT(read_file(root_ / "beat"), ::testing::MatchesRegex("20[0-9]{12}"));
    // Only the parser's messages, camera discovery's warning of a machine without a LAN
    // bridge and the bus's of a machine without ubusd (or a build without libubus): INFO lines
    // are below the configured minimum.
    std::vector<std::string> lines = lines_of(process.output());
    std::erase_if(lines, [](const std::string& line) {
        return line == " [WARNING] [SadpDiscovery] No suitable interfaces found for multicast. "
                       "Sending on default." ||
               line.starts_with(" [WARNING] [Ubus] ");
    });
    EXPECT_THAT(lines, ElementsAre(" Unknown configuration key: bogus",
                                   " " + root_.app_dir() + "/settings.ini"));
}

TEST_F(DaemonRunTest, Md5AloneStartsTheDaemon) {
    run_until_stopped({"md5"}, SIGTERM);
    EXPECT_EQ(exit_code_, 0);
}

TEST(DaemonStartTest, UnreadableSettingsEndWithExitCodeOneAndNoLog) {
    DaemonRoot root;
    std::filesystem::create_directory(root.app_dir() + "/settings.ini");
    auto process = start_daemon(root, {});
    ASSERT_EQ(process.wait_for_exit(kBound), 1);
    EXPECT_THAT(lines_of(process.output()),
                ElementsAre(" Failed to open file: " + root.app_dir() + "/settings.ini"));
    EXPECT_FALSE(std::filesystem::exists(root / "var/log/voxapp.log"));
}

TEST(DaemonStartTest, HelpPrintsTheUsageAndStartsNothing) {
    DaemonRoot root;
    auto process = start_daemon(root, {"--help"});
    ASSERT_EQ(process.wait_for_exit(kBound), 0);
    EXPECT_THAT(process.output(), ::testing::StartsWith("Usage:\n  voxapp [WORD...]"));
    EXPECT_THAT(process.output(), ::testing::HasSubstr("no_log_remote"));
    EXPECT_FALSE(std::filesystem::exists(root / "var/log/voxapp.log"));
}

TEST(DaemonStartTest, MissingDeviceNameIsFatal) {
    DaemonRoot root;
    write_file(root / "etc/config/system", "config system\n\toption hostname 'OpenWrt'\n");
    auto process = start_daemon(root, {});
    EXPECT_EQ(process.wait_for_exit(kBound), -SIGABRT);
    EXPECT_EQ(process.errors(),
              "FATAL: Qm208SerialNumberService::get_qm208_serial_number init failed: UCI option "
              "not found for path: system.@system[0].devicename\n");
}

TEST_F(DaemonRunTest, RouterUnitIsRegisteredWhileTheDeviceCountIsZero) {
    write_file(root_.app_dir() + "/numberOfDevices", "0");
    root_.write_settings("component=gps_location:true\n");
    run_until_stopped({}, SIGTERM);
    ASSERT_EQ(exit_code_, 0) << errors_;
    const auto log = lines_of(console_);
    EXPECT_THAT(log,
                ::testing::IsSupersetOf({" [INFO] [DeviceManager] Registering self as a device",
                                         " [INFO] [4321] Creating components",
                                         " [INFO] [4321] GpsTracker component is not "
                                         "supported by this device"}));
}

}  // namespace
}  // namespace voxapp::test
