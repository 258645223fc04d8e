// The router unit's TLS link through its life: made when the server appears, remade after the
// server drops it or it stays silent, refused to an untrusted server, ended by SIGTERM. The
// real daemon against the simulated server, inside a private network namespace.

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <set>

#include "support/daemon_process.hpp"
#include "support/network_namespace.hpp"
#include "support/router_unit_session.hpp"
#include "support/sim_server_process.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// The daemon retries a failed connect every 5 seconds.
constexpr auto kConnectBound = 20s;
constexpr auto kBound = 10s;

ServerLinkSettings with_idle_timeout(int seconds) {
    ServerLinkSettings settings;
    settings.idle_timeout_seconds = seconds;
    return settings;
}

class ServerConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { VOXAPP_ENTER_PRIVATE_NETWORK(); }
    void TearDown() override {
        if (HasFailure() && session_) {
            std::cout << session_->diagnostics();
        }
    }

    void connect(const ServerLinkSettings& settings = {}) {
        session_ = std::make_unique<RouterUnitSession>(settings);
        ASSERT_TRUE(session_->wait_until_connected(kConnectBound)) << session_->diagnostics();
    }

    std::unique_ptr<RouterUnitSession> session_;
};

TEST_F(ServerConnectionTest, ReconnectsAfterTheServerClosesTheLink) {
    ASSERT_NO_FATAL_FAILURE(connect());
    SimServerProcess& server = session_->server();
    for (const char* how : {":drop", ":reset"}) {
        const int before = session_->connection();
        server.send_line(std::string(how) + " " + std::to_string(before));
        ASSERT_TRUE(server.wait_for_closed(before, kBound)) << how;
        ASSERT_TRUE(session_->wait_until_connected(kConnectBound)) << how;
        EXPECT_NE(session_->connection(), before);
        const auto reply = session_->ask("#1,U?,N?;");
        ASSERT_TRUE(reply) << how;
        EXPECT_EQ(reply->text, "#1,U208,N4321;");
    }
    EXPECT_THAT(session_->daemon().output(), HasSubstr("Disconnected from 127.0.0.1:"));
}

TEST_F(ServerConnectionTest, SilentLinkIsClosedAfterTheIdleTimeoutAndRemade) {
    ASSERT_NO_FATAL_FAILURE(connect(with_idle_timeout(2)));
    const int first = session_->connection();
    const auto closed = session_->server().wait_for_closed(first, kBound);
    ASSERT_TRUE(closed);
    EXPECT_THAT(closed->text, HasSubstr("by the device"));
    EXPECT_TRUE(session_->daemon().wait_for_output(
        "No data received for a while - closing suspected stable connection!", kBound));
    ASSERT_TRUE(session_->wait_until_connected(kConnectBound));
    const auto reply = session_->ask("#1,N?;");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "#1,N4321;");
}

TEST_F(ServerConnectionTest, TrafficKeepsALinkWithAShortIdleTimeoutOpen) {
    ASSERT_NO_FATAL_FAILURE(connect(with_idle_timeout(2)));
    const int first = session_->connection();
    // A command every half second for four seconds: never silent for the 2 s limit.
    for (int i = 0; i < 8; ++i) {
        const auto reply = session_->ask("#1,U?;", kBound);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->text, "#1,U208;");
        EXPECT_FALSE(session_->server().wait_for_closed(first, 500ms));
    }
}

TEST_F(ServerConnectionTest, SigtermStopsTheDaemonWithExitCodeZero) {
    ASSERT_NO_FATAL_FAILURE(connect());
    ChildProcess& daemon = session_->daemon();
    ASSERT_TRUE(daemon.wait_for_signal_handler(SIGTERM, kBound));
    daemon.send_signal(SIGTERM);
    EXPECT_EQ(daemon.wait_for_exit(kBound), 0) << daemon.errors();
    EXPECT_TRUE(session_->server().wait_for_closed(session_->connection(), kBound));
    const std::string console = daemon.output();
    EXPECT_THAT(console, HasSubstr("[INFO] Received stop signal, stopping application..."));
    EXPECT_THAT(console, HasSubstr("[INFO] Done Application run..."));
}

TEST_F(ServerConnectionTest, ConnectsOnceTheServerAppears) {
    DaemonRoot root;
    // Inside the private namespace the port is free; the daemon is told it before anyone
    // listens there.
    constexpr std::uint16_t kPort = 8006;
    prepare_server_link(root, kPort);
    std::optional<SimServerProcess> trust_only;
    trust_only.emplace(std::vector<std::string>{root.app_dir() + "/cert/ca.crt"},
                       std::vector<std::string>{"--pki", root / "pki"});
    trust_only.reset();
    auto daemon = start_daemon(root);
    ASSERT_TRUE(daemon.wait_for_output("Failed to connect to 127.0.0.1:8006", kBound))
        << daemon.output();

    SimServerProcess server({}, {"--pki", root / "pki", "--port", std::to_string(kPort)});
    const auto connection = server.wait_for_established(kConnectBound);
    ASSERT_TRUE(connection) << server.transcript() << daemon.output();
    const auto reply = server.ask(*connection, "#1,N?;", kBound);
    ASSERT_TRUE(reply) << server.transcript();
    EXPECT_EQ(reply->text, "#1,N4321;");
}

TEST_F(ServerConnectionTest, ServerWithAnUntrustedCertificateIsRefused) {
    DaemonRoot root;
    // The daemon trusts a CA of another simulator run, not the one it meets.
    std::optional<SimServerProcess> other;
    other.emplace(std::vector<std::string>{root.app_dir() + "/cert/ca.crt"});
    other.reset();
    SimServerProcess server({});
    prepare_server_link(root, server.port());
    auto daemon = start_daemon(root);

    const auto connected =
        server.take([](const SimLine& line) { return line.event == "connected"; }, kConnectBound);
    ASSERT_TRUE(connected) << daemon.output();
    const auto closed = server.wait_for_closed(connected->connection, kBound);
    ASSERT_TRUE(closed) << server.transcript();
    EXPECT_THAT(closed->text, HasSubstr("handshake failed"));
    EXPECT_FALSE(server.wait_for_established(1s));
    EXPECT_TRUE(daemon.wait_for_output("verify error", kBound)) << daemon.output();
}

TEST_F(ServerConnectionTest, EachRouterGetsItsOwnConnection) {
    DaemonRoot first;
    DaemonRoot second;
    write_file(second / "etc/config/system",
               "config system\n\toption devicename 'QM208_4322'\n"
               "\toption zoneName 'Europe/Riga'\n");
    SimServerProcess server({first.app_dir() + "/cert/ca.crt", second.app_dir() + "/cert/ca.crt"});
    prepare_server_link(first, server.port());
    prepare_server_link(second, server.port());
    auto first_daemon = start_daemon(first);
    auto second_daemon = start_daemon(second);

    std::set<std::string> identities;
    for (int i = 0; i < 2; ++i) {
        const auto connection = server.wait_for_established(kConnectBound);
        ASSERT_TRUE(connection) << server.transcript();
        const auto reply = server.ask(*connection, ">" + std::to_string(i + 1) + " #1,N?;", kBound);
        ASSERT_TRUE(reply) << server.transcript();
        EXPECT_EQ(reply->id, i + 1);
        identities.insert(reply->text);
    }
    EXPECT_EQ(identities, (std::set<std::string>{"#1,N4321;", "#1,N4322;"}));
}

}  // namespace
}  // namespace voxapp::test
