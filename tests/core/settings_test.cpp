#include "core/settings.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_text.hpp"
#include "support/temp_dir.hpp"

namespace voxapp {
namespace {

using test::unstamped_lines;
using ::testing::ElementsAre;

class SettingsFileTest : public ::testing::Test {
protected:
    // Parses `content` over the defaults; returns the console messages without their stamps,
    // the last one (the file path) included.
    std::vector<std::string> parse(const std::string& content) {
        const std::string path = dir_ / "settings.ini";
        test::write_file(path, content);
        ::testing::internal::CaptureStdout();
        parsed_ = parse_settings_file(settings_, path);
        return unstamped_lines(::testing::internal::GetCapturedStdout());
    }
    std::string path() const { return dir_ / "settings.ini"; }

    test::TempDir dir_;
    Settings settings_ = default_settings(build_version_info());
    bool parsed_ = false;
};

TEST_F(SettingsFileTest, DefaultsMatchTheDocumentedValues) {
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::normal);
    EXPECT_EQ(settings_.min_logging_level, LogLevel::debug);
    EXPECT_EQ(settings_.remote_port, 8006);
    EXPECT_EQ(settings_.remote_port_rd, 8006);
    EXPECT_EQ(settings_.remote_timeout, 300);
    EXPECT_EQ(settings_.remote_timeout_rd, 300);
    EXPECT_EQ(settings_.heartbeat_interval, 60);
    EXPECT_EQ(settings_.usb_relative_log_path, "");
    EXPECT_TRUE(settings_.components.empty());
    EXPECT_TRUE(settings_.camera_credentials.empty());
}

TEST_F(SettingsFileTest, FixedDefaultPathsMoveUnderTheRelocationRoot) {
    ::setenv("VOXAPP_ROOT", "/srv/root/", 1);
    const Settings relocated = default_settings(build_version_info());
    ::unsetenv("VOXAPP_ROOT");
    const Settings plain = default_settings(build_version_info());
    EXPECT_EQ(relocated.log_path, "/srv/root/var/log/voxapp.log");
    EXPECT_EQ(relocated.ca_path, "/srv/root/root/app/cert/ca.crt");
    EXPECT_EQ(relocated.heartbeat_path, "/srv/root/root/app/heartbeat");
    EXPECT_EQ(relocated.timezones_path, "/srv/root/root/app/timezones.ini");
    EXPECT_EQ(plain.log_path, "/var/log/voxapp.log");
    EXPECT_EQ(plain.ca_path, "/root/app/cert/ca.crt");
}

TEST_F(SettingsFileTest, EveryKeyIsApplied) {
    const auto messages = parse(
        "logging_depth=data_full\nmin_logging_level=warning\nremote_address=a.example\n"
        "remote_address_rd=b.example\nremote_port=8007\nremote_port_rd=9000\n"
        "remote_timeout=10\nremote_timeout_rd=0\nca_path=/ca\nheartbeat_path=/hb\n"
        "heartbeat_interval=-5\nusb_relative_log_path=logs/v.log\nlog_path=/l.log\n"
        "ftp_address=ftp.example\n");
    EXPECT_TRUE(parsed_);
    EXPECT_THAT(messages, ElementsAre(" " + path()));
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::data_full);
    EXPECT_EQ(settings_.min_logging_level, LogLevel::warning);
    EXPECT_EQ(settings_.remote_address, "a.example");
    EXPECT_EQ(settings_.remote_address_rd, "b.example");
    EXPECT_EQ(settings_.remote_port, 8007);
    EXPECT_EQ(settings_.remote_port_rd, 9000);
    EXPECT_EQ(settings_.remote_timeout, 10);
    EXPECT_EQ(settings_.remote_timeout_rd, 0);
    EXPECT_EQ(settings_.ca_path, "/ca");
    EXPECT_EQ(settings_.heartbeat_path, "/hb");
    EXPECT_EQ(settings_.heartbeat_interval, -5);
    EXPECT_EQ(settings_.usb_relative_log_path, "logs/v.log");
    EXPECT_EQ(settings_.log_path, "/l.log");
    EXPECT_EQ(settings_.ftp_address, "ftp.example");
}

TEST_F(SettingsFileTest, MalformedLinesAreReportedWholeAndKeepTheEarlierValue) {
    const auto messages = parse("remote_port=8007\nremote_port=\nno equals sign\n=x\r\n");
    EXPECT_THAT(messages, ElementsAre(" Malformed configuration line: remote_port=",
                                      " Malformed configuration line: no equals sign",
                                      " Unknown configuration key: ", " " + path()));
    EXPECT_EQ(settings_.remote_port, 8007);
}

TEST_F(SettingsFileTest, KeysAndValuesAreTakenExactly) {
    const auto messages = parse(" remote_port=1\nremote_port =2\nlogging_depth=DATA\n");
    EXPECT_THAT(messages, ElementsAre(" Unknown configuration key:  remote_port",
                                      " Unknown configuration key: remote_port ", " " + path()));
    EXPECT_EQ(settings_.remote_port, 8006);
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::normal);
}

TEST_F(SettingsFileTest, CarriageReturnStaysPartOfTheValue) {
    parse("remote_address=host\r\nlogging_depth=data\r\n");
    EXPECT_EQ(settings_.remote_address, "host\r");
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::normal);
}

TEST_F(SettingsFileTest, CommentsAndEmptyLinesAreSkippedButInnerHashIsText) {
    const auto messages = parse("# comment\n\n#remote_port=1\nremote_address=a#b\n");
    EXPECT_THAT(messages, ElementsAre(" " + path()));
    EXPECT_EQ(settings_.remote_address, "a#b");
    EXPECT_EQ(settings_.remote_port, 8006);
}

TEST_F(SettingsFileTest, OnlyCommentsYieldDefaults) {
    parse("# nothing here\n# at all");
    EXPECT_TRUE(parsed_);
    EXPECT_EQ(settings_.remote_port, 8006);
    EXPECT_EQ(settings_.remote_address, kDefaultRemoteAddress);
}

TEST_F(SettingsFileTest, LastLineWithoutLineFeedIsParsed) {
    parse("remote_port=1234");
    EXPECT_EQ(settings_.remote_port, 1234);
}

TEST_F(SettingsFileTest, NumbersAreReadLikeStrtol) {
    parse("remote_port=  8010abc\nremote_timeout=+7\nheartbeat_interval=2147483647\n");
    EXPECT_EQ(settings_.remote_port, 8010);
    EXPECT_EQ(settings_.remote_timeout, 7);
    EXPECT_EQ(settings_.heartbeat_interval, 2147483647);
}

TEST_F(SettingsFileTest, NumbersWithoutDigitsOrOutOfRangeAreMalformed) {
    const auto messages = parse(
        "remote_port=abc\nheartbeat_interval=2147483648\nheartbeat_interval=-2147483649\n"
        "remote_port=70000\nremote_timeout=-1\nheartbeat_interval=-\n");
    EXPECT_THAT(messages,
                ElementsAre(" Malformed configuration line: remote_port=abc",
                            " Malformed configuration line: heartbeat_interval=2147483648",
                            " Malformed configuration line: heartbeat_interval=-2147483649",
                            " Malformed configuration line: remote_port=70000",
                            " Malformed configuration line: remote_timeout=-1",
                            " Malformed configuration line: heartbeat_interval=-", " " + path()));
    EXPECT_EQ(settings_.remote_port, 8006);
    EXPECT_EQ(settings_.remote_timeout, 300);
    EXPECT_EQ(settings_.heartbeat_interval, 60);
}

TEST_F(SettingsFileTest, MinimumLevelNamesAndUnknownLevel) {
    auto messages = parse("min_logging_level=critical\nmin_logging_level=Error\n");
    EXPECT_THAT(messages, ElementsAre(" Unknown minimum logging level: Error", " " + path()));
    EXPECT_EQ(settings_.min_logging_level, LogLevel::critical);

    settings_ = default_settings(build_version_info());
    messages = parse("min_logging_level=verbose\n");
    EXPECT_THAT(messages, ElementsAre(" Unknown minimum logging level: verbose", " " + path()));
    EXPECT_EQ(settings_.min_logging_level, LogLevel::debug);
}

TEST_F(SettingsFileTest, LoggingDepthValues) {
    parse("logging_depth=data\n");
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::data);
    parse("logging_depth=anything\n");
    EXPECT_EQ(settings_.logging_depth, LoggingDepth::normal);
}

TEST_F(SettingsFileTest, ComponentEntriesAreUniqueAndKeepFirstOrder) {
    const auto messages = parse(
        "component=gps_location:true\ncomponent=remote_connection:true\n"
        "component=gps_location:TRUE\ncomponent=event_tracker:false\n");
    EXPECT_THAT(messages, ElementsAre(" " + path()));
    EXPECT_THAT(settings_.components,
                ElementsAre(ComponentSwitch{ComponentId::gps_location, false},
                            ComponentSwitch{ComponentId::remote_connection, true},
                            ComponentSwitch{ComponentId::event_tracker, false}));
}

TEST_F(SettingsFileTest, ComponentProblems) {
    const auto messages =
        parse("component=gps_location\ncomponent=gps_location:\ncomponent=camera:true\n");
    EXPECT_THAT(messages, ElementsAre(" Malformed configuration line: component=gps_location",
                                      " Malformed configuration line: component=gps_location:",
                                      " Unknown component type: camera", " " + path()));
    EXPECT_TRUE(settings_.components.empty());
}

TEST_F(SettingsFileTest, CameraCredentialsSplitAtTheFirstColonAndSkipIncompleteOnes) {
    const auto messages = parse(
        "camera_credentials=admin:pa:ss\ncamera_credentials=nocolon\ncamera_credentials=:pw\n"
        "camera_credentials=user:\ncamera_credentials=second:x\n");
    EXPECT_THAT(messages, ElementsAre(" " + path()));
    EXPECT_THAT(settings_.camera_credentials,
                ElementsAre(CameraCredential{"admin", "pa:ss"}, CameraCredential{"second", "x"}));
}

TEST_F(SettingsFileTest, FileThatCannotBeOpenedIsReported) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(parse_settings_file(settings_, dir_ / "missing.ini"));
    EXPECT_THAT(unstamped_lines(::testing::internal::GetCapturedStdout()),
                ElementsAre(" Failed to open file: " + (dir_ / "missing.ini")));

    // A directory where the file should be cannot be read as settings either.
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(parse_settings_file(settings_, dir_.path()));
    EXPECT_THAT(unstamped_lines(::testing::internal::GetCapturedStdout()),
                ElementsAre(" Failed to open file: " + dir_.path()));
}

TEST(ComponentFlagTest, ChangesOnlyExistingEntries) {
    Settings settings;
    EXPECT_FALSE(set_component_flag(settings, ComponentId::gps_location, false));
    EXPECT_TRUE(settings.components.empty());
    settings.components.push_back({ComponentId::gps_location, true});
    EXPECT_TRUE(set_component_flag(settings, ComponentId::gps_location, false));
    EXPECT_FALSE(settings.components[0].log);
}

}  // namespace
}  // namespace voxapp
