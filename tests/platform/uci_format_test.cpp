#include "platform/uci_format.hpp"

#include <gtest/gtest.h>

#include <string>

namespace voxapp {
namespace {

// As UCI itself writes /etc/config/system on an OpenWrt router.
const std::string kSystemFile =
    "\n"
    "config system\n"
    "\toption hostname 'OpenWrt'\n"
    "\toption timezone 'CET-1CEST,M3.5.0,M10.5.0/3'\n"
    "\toption ttylogin '0'\n"
    "\toption log_size '64'\n"
    "\toption urandom_seed '0'\n"
    "\toption zoneName 'Europe/Berlin'\n"
    "\n"
    "config timeserver 'ntp'\n"
    "\toption enabled '1'\n"
    "\toption enable_server '0'\n"
    "\tlist server '0.openwrt.pool.ntp.org'\n"
    "\tlist server '1.openwrt.pool.ntp.org'\n";

TEST(UciFormatTest, OpenWrtSystemFileRoundTrips) {
    auto package = parse_uci_package(kSystemFile);
    ASSERT_TRUE(package.ok()) << package.error().message_text();
    ASSERT_EQ(package->sections.size(), 2u);

    const UciSection& system = package->sections[0];
    EXPECT_EQ(system.type, "system");
    EXPECT_EQ(system.name, "");
    ASSERT_NE(system.find_option("zoneName"), nullptr);
    EXPECT_EQ(system.find_option("zoneName")->values, std::vector<std::string>{"Europe/Berlin"});
    EXPECT_FALSE(system.find_option("zoneName")->is_list);

    const UciSection& ntp = package->sections[1];
    EXPECT_EQ(ntp.type, "timeserver");
    EXPECT_EQ(ntp.name, "ntp");
    ASSERT_NE(ntp.find_option("server"), nullptr);
    EXPECT_TRUE(ntp.find_option("server")->is_list);
    EXPECT_EQ(ntp.find_option("server")->values,
              (std::vector<std::string>{"0.openwrt.pool.ntp.org", "1.openwrt.pool.ntp.org"}));

    EXPECT_EQ(format_uci_package(*package), kSystemFile);
}

TEST(UciFormatTest, ReadsHandWrittenSyntaxAndWritesItTheUciWay) {
    const std::string text =
        "# written by hand\n"
        "package system\n"
        "config system   # the main section\n"
        "    option hostname OpenWrt\n"
        "\toption motd \"say \\\"hi\\\"\"\r\n"
        "\toption quote 'it'\\''s'\n"
        "\toption glued ab'c d'\"e\"\n"
        "\toption empty ''\n"
        "\toption tab 'a\tb'\n"
        "\n"
        "   \n"
        "config wifi-iface \"guest\"\n"
        "\toption ssid 'x'\n";
    auto package = parse_uci_package(text);
    ASSERT_TRUE(package.ok()) << package.error().message_text();
    const UciSection& system = package->sections[0];
    EXPECT_EQ(system.find_option("hostname")->values[0], "OpenWrt");
    EXPECT_EQ(system.find_option("motd")->values[0], "say \"hi\"");
    EXPECT_EQ(system.find_option("quote")->values[0], "it's");
    EXPECT_EQ(system.find_option("glued")->values[0], "abc de");
    EXPECT_EQ(system.find_option("empty")->values[0], "");
    EXPECT_EQ(system.find_option("tab")->values[0], "a\tb");
    EXPECT_EQ(package->sections[1].type, "wifi-iface");
    EXPECT_EQ(package->sections[1].name, "guest");

    const std::string written = format_uci_package(*package);
    EXPECT_EQ(written,
              "\nconfig system\n"
              "\toption hostname 'OpenWrt'\n"
              "\toption motd 'say \"hi\"'\n"
              "\toption quote 'it'\\''s'\n"
              "\toption glued 'abc de'\n"
              "\toption empty ''\n"
              "\toption tab 'a\tb'\n"
              "\nconfig wifi-iface 'guest'\n"
              "\toption ssid 'x'\n");
    auto again = parse_uci_package(written);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *package);
}

TEST(UciFormatTest, RepeatedNamesMergeTheWayUciDoes) {
    auto package = parse_uci_package(
        "config a 'one'\n"
        "\toption x '1'\n"
        "\tlist x '2'\n"
        "\tlist y '1'\n"
        "\toption y 'replaced'\n"
        "config b 'one'\n"
        "\toption z '3'\n");
    ASSERT_TRUE(package.ok()) << package.error().message_text();
    ASSERT_EQ(package->sections.size(), 1u);
    const UciSection& one = package->sections[0];
    EXPECT_EQ(one.type, "b");
    EXPECT_TRUE(one.find_option("x")->is_list);
    EXPECT_EQ(one.find_option("x")->values, (std::vector<std::string>{"1", "2"}));
    EXPECT_FALSE(one.find_option("y")->is_list);
    EXPECT_EQ(one.find_option("y")->values, std::vector<std::string>{"replaced"});
    EXPECT_EQ(one.find_option("z")->values, std::vector<std::string>{"3"});
}

TEST(UciFormatTest, MalformedFilesNameTheLineAndTheFault) {
    const std::pair<std::string, std::string> cases[] = {
        {"config system\n\toption a 'open\n", "line 2: unterminated single quote"},
        {"config system\n\n\toption a \"open\n", "line 3: unterminated double quote"},
        {"config system\n\toption a b\\\n", "line 2: backslash at end of line"},
        {"option a 'b'\n", "line 1: option outside of a section"},
        {"list a 'b'\n", "line 1: list outside of a section"},
        {"config system\n\toption a\n", "line 2: option needs a name and a value"},
        {"config system\n\toption a 'b' 'c'\n", "line 2: option needs a name and a value"},
        {"config\n", "line 1: config needs a type and at most a name"},
        {"config a b c\n", "line 1: config needs a type and at most a name"},
        {"config 'sys tem'\n", "line 1: invalid section type 'sys tem'"},
        {"config system 'a.b'\n", "line 1: invalid section name 'a.b'"},
        {"config system\n\toption 'a b' c\n", "line 2: invalid option name 'a b'"},
        {"config system\n\tfrobnicate a b\n", "line 2: unknown keyword 'frobnicate'"},
        {std::string("config system\n\toption a 'x") + '\0' + "y'\n", "line 2: NUL byte"},
        {"config system\n\toption a '\x01'\n", "line 2: control character in the value of 'a'"},
        {"package a/b\n", "line 1: malformed package line"},
    };
    for (const auto& [text, message] : cases) {
        auto package = parse_uci_package(text);
        ASSERT_FALSE(package.ok()) << text;
        EXPECT_EQ(package.error().message(), message) << text;
    }
}

TEST(UciFormatTest, EmptyAndCommentOnlyFilesHaveNoSections) {
    for (const char* text : {"", "\n\n", "# nothing here\n  # nor here"}) {
        auto package = parse_uci_package(text);
        ASSERT_TRUE(package.ok()) << text;
        EXPECT_TRUE(package->sections.empty());
        EXPECT_EQ(format_uci_package(*package), "");
    }
}

}  // namespace
}  // namespace voxapp
