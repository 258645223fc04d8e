// The daemon on the router's system bus as an operator meets it: the real ubusd and ubus
// command-line tool, a bus that goes away and comes back, and one that stops answering.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/network_namespace.hpp"
#include "support/router_unit_session.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr auto kConnectBound = 20s;
const std::string kNoFixReply = "#7,GP,-1,0,0,0,0,0,0,0,0,0,0,-,0,0,0,0,-,0,0,0;";

class DaemonBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXAPP_ENTER_PRIVATE_NETWORK();
        session_ = std::make_unique<RouterUnitSession>();
        ASSERT_TRUE(session_->wait_until_connected(kConnectBound)) << session_->diagnostics();
        if (!session_->bus().ready()) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << "no system bus: " << session_->bus().diagnostics();
            }
            GTEST_SKIP() << "built without libubus, ubusd or the ubus tool";
        }
    }
    void TearDown() override {
        if (HasFailure() && session_) {
            std::cout << session_->diagnostics() << session_->bus().diagnostics();
        }
    }

    // "ubus call voxapp status", asked until it answers or `bound` has passed.
    std::optional<std::string> status_within(std::chrono::milliseconds bound) {
        const auto deadline = Clock::now() + bound;
        do {
            if (auto status = session_->bus().call("voxapp", "status", 1)) {
                return status;
            }
            std::this_thread::sleep_for(100ms);
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

    // Asks "#7,GP;" on `connection` until the no-fix reply comes; each reply must come within
    // `bound`, and so must the no-fix one.
    bool no_fix_within(int connection, std::chrono::milliseconds bound) {
        const auto deadline = Clock::now() + bound;
        while (Clock::now() < deadline) {
            const auto reply = session_->server().ask(connection, "#7,GP;", bound);
            if (!reply) {
                return false;
            }
            if (reply->text == kNoFixReply) {
                return Clock::now() <= deadline;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    std::unique_ptr<RouterUnitSession> session_;
};

TEST_F(DaemonBusTest, StatusNamesTheRouterLinkAndAnswersAgainAfterUbusdRestarts) {
    const auto status = status_within(10s);
    ASSERT_TRUE(status);
    EXPECT_THAT(*status, HasSubstr("\"device_name\": \"QM208_4321\""));
    EXPECT_THAT(*status, HasSubstr("\"serial\": 4321"));
    EXPECT_THAT(*status, HasSubstr("\"connected\": true"));
    EXPECT_THAT(*status, HasSubstr("\"gps\""));

    ASSERT_TRUE(session_->bus().restart_bus());
    EXPECT_TRUE(status_within(10s)) << "no answer within 10 s of ubusd's restart";
    EXPECT_THAT(session_->daemon().output(), HasSubstr("[Ubus] Lost the system bus"));
}

TEST_F(DaemonBusTest, AWedgedBusHoldsUpNeitherGpRepliesNorAStopAlsoFromTheStart) {
    ASSERT_TRUE(status_within(10s));
    session_->bus().pause_bus();
    EXPECT_TRUE(no_fix_within(session_->connection(), 3s));
    session_->daemon().send_signal(SIGTERM);
    EXPECT_TRUE(session_->daemon().wait_for_exit(5s)) << "SIGTERM did not end the daemon";

    // A daemon started while the bus is wedged links to the server and answers all the same.
    ChildProcess second = start_daemon(session_->root());
    const auto link = session_->server().wait_for_established(kConnectBound);
    ASSERT_TRUE(link);
    EXPECT_TRUE(no_fix_within(*link, 3s));
    second.send_signal(SIGTERM);
    EXPECT_TRUE(second.wait_for_exit(5s)) << "SIGTERM did not end the second daemon";
    EXPECT_THAT(second.output(), HasSubstr("does not answer; trying again"));
    session_->bus().resume_bus();
}

}  // namespace
}  // namespace voxapp::test
