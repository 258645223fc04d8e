// The simulated server's own services that the demo and the benchmarks stand on: the root it
// writes for the daemon, its bench command and its lockstep console.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "support/daemon_process.hpp"
#include "support/network_namespace.hpp"
#include "support/sim_server_process.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kConnectBound = 20s;
constexpr auto kBound = 10s;
constexpr const char* kPort = "8006";

std::string make_root(const std::string& directory, const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"make-root", directory, "--daemon", voxapp_binary()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    ChildProcess builder(sim_server_binary(), arguments, {});
    const auto status = builder.wait_for_exit(kBound);
    EXPECT_EQ(status, 0) << builder.output() << builder.errors();
    return builder.output() + builder.errors();
}

TEST(SimServerTest, MadeRootRunsTheRouterUnitAgainstTheSimulator) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    TempDir directory;
    const std::string root = directory / "root";
    make_root(root, {"--port", kPort, "--serial", "777", "--zone", "Europe/Riga"});

    for (const char* file : {"root/app/voxapp", "root/app/settings.ini", "root/app/timezones.ini",
                             "root/app/cert/ca.crt", "etc/config/system", "etc/config/ntpclient",
                             "etc/init.d/system", "tmp/voxapp-gps-fix"}) {
        EXPECT_TRUE(std::filesystem::exists(root + "/" + file)) << file;
    }
    EXPECT_EQ(read_file(root + "/root/app/numberOfDevices"), "0");
    EXPECT_EQ(access((root + "/etc/init.d/system").c_str(), X_OK), 0);
    EXPECT_THAT(read_file(root + "/root/app/settings.ini"),
                HasSubstr("remote_address=127.0.0.1\nremote_port=8006\n"));

    SimServerProcess server({}, {"--pki", root + "/sim-pki", "--port", kPort});
    ChildProcess daemon(root + "/root/app/voxapp", {}, {{"VOXAPP_ROOT", root}});
    const auto connection = server.wait_for_established(kConnectBound);
    ASSERT_TRUE(connection) << server.transcript() << daemon.output();
    const auto identity = server.ask(*connection, "#1,U?,N?;", kBound);
    ASSERT_TRUE(identity) << server.transcript();
    EXPECT_EQ(identity->text, "#1,U208,N777;");
    const auto zone = server.ask(*connection, ">2 #7,SN,D,Z;", kBound);
    ASSERT_TRUE(zone) << server.transcript();
    EXPECT_EQ(zone->text, "#7,SN,D,Z,Europe/Riga;");
    // The CA file carries a CRL: the daemon verifies the chain without a CRL complaint.
    EXPECT_THAT(daemon.output(), ::testing::Not(HasSubstr("unable to get certificate CRL")));
}

TEST(SimServerTest, MakeRootRefusesAnUnknownZone) {
    TempDir directory;
    ChildProcess builder(
        sim_server_binary(),
        {"make-root", directory / "root", "--daemon", voxapp_binary(), "--zone", "Mars/Olympus"},
        {});
    EXPECT_EQ(builder.wait_for_exit(kBound), 2);
    EXPECT_THAT(builder.errors(), HasSubstr("unknown time zone Mars/Olympus"));
}

TEST(SimServerTest, LockstepScriptAndBenchAgainstTheDaemon) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    TempDir directory;
    const std::string root = directory / "root";
    make_root(root, {"--port", kPort});
    SimServerProcess server({}, {"--pki", root + "/sim-pki", "--port", kPort, "--lockstep"});
    ChildProcess daemon(root + "/root/app/voxapp", {}, {{"VOXAPP_ROOT", root}});

    // Lockstep holds each line until the reply to the one before has come, so a script can be
    // written ahead without waits of its own.
    for (const char* line : {":wait connection 20", "#1,U?;", ">7 #1,N?;", ":bench 20 #1,U?,N?;"}) {
        server.send_line(line);
    }
    server.close_input();
    const auto bench =
        server.take([](const SimLine& line) { return line.event == "bench"; }, kConnectBound);
    ASSERT_TRUE(bench) << server.transcript();
    EXPECT_THAT(bench->text,
                ::testing::MatchesRegex("count=20 replies=20 median_ms=[0-9.]+ p99_ms=[0-9.]+ .*"));
    EXPECT_EQ(server.wait_for_exit(kBound), 0) << server.transcript();

    std::vector<std::string> replies;
    while (const auto frame =
               server.take([](const SimLine& line) { return line.event == "<-"; }, 0ms)) {
        replies.push_back(frame->kind + " " + frame->text);
    }
    ASSERT_EQ(replies.size(), 22u) << server.transcript();
    EXPECT_EQ(replies[0], "PLAIN #1,U208;");
    EXPECT_EQ(replies[1], "ASCII #1,N4321;");
    EXPECT_EQ(replies[21], "PLAIN #1,U208,N4321;");
}

TEST(SimServerTest, WaitThatRunsOutMakesTheExitStatusOne) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    SimServerProcess server({});
    server.send_line(":wait connection 1");
    server.close_input();
    EXPECT_TRUE(server.take([](const SimLine& line) { return line.event == "timeout"; }, kBound));
    EXPECT_EQ(server.wait_for_exit(kBound), 1);
}

}  // namespace
}  // namespace voxapp::test
