// The log file on the router's RAM disk under a flood of commands at the default level: it is
// started afresh at its size limit, keeps the previous lines in voxapp.log.1, and never cuts a
// line in two.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support/network_namespace.hpp"
#include "support/router_unit_session.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLimit = 1024 * 1024;  // the default
constexpr std::size_t kFlood = 4 * 1024 * 1024;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(DaemonLogRotationTest, AFloodOfCommandsKeepsTheLogWithinItsLimitLineByLine) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    // Traffic lines off, so that only the main loop logs and the console shows the file's order.
    RouterUnitSession session(ServerLinkSettings{300, "logging_depth=normal\n"});
    ASSERT_TRUE(session.wait_until_connected(20s)) << session.diagnostics();

    // Each round trip logs the command and its unknown parameter: about 2 KiB.
    const std::string command = "#1,U?," + std::string(1000, 'x') + ";";
    const int round_trips = static_cast<int>(kFlood / 2000) + 200;
    session.server().send_line(":bench " + std::to_string(round_trips) + " " + command);
    const auto bench =
        session.server().take([](const SimLine& line) { return line.event == "bench"; }, 120s);
    ASSERT_TRUE(bench) << session.diagnostics();
    const std::string console = session.daemon().output();
    ASSERT_GE(console.size(), kFlood);

    const std::string path = session.root() / "var/log/voxapp.log";
    const std::string current = read_file(path);
    const std::string previous = read_file(path + ".1");
    EXPECT_LE(current.size(), kLimit);
    EXPECT_LE(previous.size(), kLimit);
    EXPECT_GT(previous.size(), kLimit - 4096) << "the older file was not full";
    EXPECT_FALSE(std::filesystem::exists(path + ".2"));

    const std::regex whole_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[[A-Z ]+\] .*)");
    for (const std::string* file : {&previous, &current}) {
        ASSERT_FALSE(file->empty());
        EXPECT_EQ(file->back(), '\n');
        for (const std::string& line : lines_of(*file)) {
            ASSERT_TRUE(std::regex_match(line, whole_line)) << "cut line: " << line.substr(0, 80);
        }
    }
    // Nothing lost where the file was started afresh: the console has the two lines together.
    const std::string seam = lines_of(previous).back() + "\n" + lines_of(current).front() + "\n";
    EXPECT_NE(console.find(seam), std::string::npos);
}

}  // namespace
}  // namespace voxapp::test
