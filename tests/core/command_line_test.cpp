#include "core/command_line.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "core/md5_digest.hpp"

namespace voxapp {
namespace {

CommandLine parse(std::vector<const char*> words) {
    words.insert(words.begin(), "/root/app/voxapp");
    return parse_command_line(static_cast<int>(words.size()), words.data());
}

Settings settings_with_components() {
    Settings settings = default_settings(build_version_info());
    settings.components = {{ComponentId::remote_connection, true},
                           {ComponentId::gps_location, true}};
    return settings;
}

TEST(Md5Test, DigestIsUpperCaseHex) {
    EXPECT_EQ(md5_text_digest("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(md5_text_digest(""), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Md5Test, UnitPasswordSaltsTheUnsignedNumberAndText) {
    EXPECT_EQ(unit_password(1234, "x"), md5_text_digest("Qorlent=#7Hd+pk^*wTuvM48X1234x"));
    EXPECT_EQ(unit_password(-1, "abc"), md5_text_digest("Qorlent=#7Hd+pk^*wTuvM48X4294967295abc"));
}

TEST(ToolModeTest, OutputsAreByteExact) {
    EXPECT_EQ(md5_tool_output("abc"), "MD5 - 900150983CD24FB0D6963F7D28E17F72\r\n");
    EXPECT_EQ(unit_pass_tool_output(-1, "abc"),
              "unit_pass - " + md5_text_digest("Qorlent=#7Hd+pk^*wTuvM48X4294967295abc") + "\r\n");
}

TEST(CommandLineTest, ToolModesNeedTheirWords) {
    EXPECT_EQ(parse({"md5", "abc", "extra"}).mode, CommandLine::Mode::md5);
    EXPECT_EQ(parse({"md5", "abc"}).text, "abc");
    EXPECT_EQ(parse({"md5"}).mode, CommandLine::Mode::daemon);
    EXPECT_EQ(parse({"unit_pass", "5"}).mode, CommandLine::Mode::daemon);
    const auto unit_pass = parse({"unit_pass", "-1", "text"});
    EXPECT_EQ(unit_pass.mode, CommandLine::Mode::unit_pass);
    EXPECT_EQ(unit_pass.number, -1);
    EXPECT_EQ(unit_pass.text, "text");
    EXPECT_EQ(parse({"unit_pass", "12abc", "t"}).number, 12);
    EXPECT_EQ(parse({"gps_test", "ignored"}).mode, CommandLine::Mode::gps_test);
    EXPECT_EQ(parse({}).mode, CommandLine::Mode::daemon);
    EXPECT_EQ(parse({"no_log_gps", "--help"}).mode, CommandLine::Mode::help);
    EXPECT_EQ(parse({"md5", "--help"}).mode, CommandLine::Mode::md5);
    EXPECT_EQ(parse({"-h", "help"}).mode, CommandLine::Mode::daemon);
}

TEST(CommandLineTest, RemoteOverridesAddressPortAndScansFlagsAfterThem) {
    Settings settings = settings_with_components();
    apply_overrides(parse({"remote", "host.example", "8007", "no_log_gps"}), settings);
    EXPECT_EQ(settings.remote_address, "host.example");
    EXPECT_EQ(settings.remote_port, 8007);
    EXPECT_FALSE(settings.components[1].log);
    EXPECT_TRUE(settings.components[0].log);
}

TEST(CommandLineTest, RemoteNotFirstOverridesNothing) {
    Settings settings = settings_with_components();
    apply_overrides(parse({"no_log_gps", "remote", "host.example", "8007"}), settings);
    EXPECT_EQ(settings.remote_address, kDefaultRemoteAddress);
    EXPECT_EQ(settings.remote_port, 8006);
    EXPECT_FALSE(settings.components[1].log);
}

TEST(CommandLineTest, RemoteWordsAreNotFlags) {
    // "no_log_remote" as the address is the address, not a flag.
    Settings settings = settings_with_components();
    apply_overrides(parse({"remote", "no_log_remote", "1"}), settings);
    EXPECT_EQ(settings.remote_address, "no_log_remote");
    EXPECT_TRUE(settings.components[0].log);
}

TEST(CommandLineTest, PortWordIsReadAsANumberAndKeptIn16Bits) {
    Settings settings = default_settings(build_version_info());
    apply_overrides(parse({"remote", "h", "port"}), settings);
    EXPECT_EQ(settings.remote_port, 0);
    apply_overrides(parse({"remote", "h", "65537"}), settings);
    EXPECT_EQ(settings.remote_port, 1);
}

TEST(CommandLineTest, FlagsNeverAddComponents) {
    Settings settings = default_settings(build_version_info());
    apply_overrides(parse({"no_log_remote", "no_log_gps", "unknown", "no_log_gps"}), settings);
    EXPECT_TRUE(settings.components.empty());

    settings = settings_with_components();
    apply_overrides(parse({"unit_pass", "no_log_remote"}), settings);
    EXPECT_FALSE(settings.components[0].log);
    EXPECT_TRUE(settings.components[1].log);
}

}  // namespace
}  // namespace voxapp
