// The router unit as the monitoring server sees it: the real daemon, connected over TLS to the
// simulated server, inside a private network namespace.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <thread>

#include "support/daemon_process.hpp"
#include "support/network_namespace.hpp"
#include "support/router_unit_session.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kConnectBound = 20s;
constexpr auto kBound = 10s;
const std::string kNoFixReply = "#7,GP,-1,0,0,0,0,0,0,0,0,0,0,-,0,0,0,0,-,0,0,0;";

class RouterUnitLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXAPP_ENTER_PRIVATE_NETWORK();
        session_ = std::make_unique<RouterUnitSession>();
        ASSERT_TRUE(session_->wait_until_connected(kConnectBound)) << session_->diagnostics();
    }
    void TearDown() override {
        if (HasFailure() && session_) {
            std::cout << session_->diagnostics();
        }
    }

    // The reply to `frame_line`, which must come as a frame of `kind` (and `id`, when given).
    std::string reply_to(const std::string& frame_line, const std::string& kind = "PLAIN",
                         std::optional<int> id = std::nullopt) {
        const auto reply = session_->ask(frame_line, kBound);
        if (!reply) {
            ADD_FAILURE() << "no reply to " << frame_line;
            return "";
        }
        EXPECT_EQ(reply->kind, kind) << reply->line;
        if (id) {
            EXPECT_EQ(reply->id, id) << reply->line;
        }
        return reply->text;
    }

    // Asks "#7,GP;" until the daemon's GPS source accepts the fix, which it does once it has
    // seen the receiver's time move (within a second of a change of the fix).
    std::string first_fix_reply(const std::string& frame_line) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        std::string text = reply_to(frame_line);
        while (text.rfind("#7,GP,-1,", 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            text = reply_to(frame_line);
        }
        return text;
    }

    // Asks `frame_line` until the reply is `wanted` and returns the last reply: the daemon reads
    // the position off its main loop twice a second, so a changed fix shows within a second.
    std::string reply_until(const std::string& frame_line,
                            const std::function<bool(const std::string&)>& wanted,
                            const std::string& kind = "PLAIN", std::optional<int> id = {}) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        std::string text = reply_to(frame_line, kind, id);
        while (!wanted(text) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            text = reply_to(frame_line, kind, id);
        }
        return text;
    }
    static std::function<bool(const std::string&)> equal_to(const std::string& expected) {
        return [expected](const std::string& text) { return text == expected; };
    }

    std::unique_ptr<RouterUnitSession> session_;
};

// The GPS replies need the root's system bus: a build without libubus cannot have one.
#define SKIP_WITHOUT_BUS()                                                       \
    do {                                                                         \
        if (!session_->bus().ready()) {                                          \
            if (std::getenv("CI") != nullptr) {                                  \
                FAIL() << "no system bus: " << session_->bus().diagnostics();    \
            }                                                                    \
            GTEST_SKIP() << "built without libubus, ubusd or the GPS simulator"; \
        }                                                                        \
    } while (false)

TEST_F(RouterUnitLinkTest, IdentityIsAnsweredInAPlainFrame) {
    EXPECT_EQ(reply_to("#1,U?,N?;"), "#1,U208,N4321;");
    EXPECT_EQ(reply_to("#1,U?,N?,W?;"), "#1,U208,N4321,W1.04.0;");
    EXPECT_EQ(reply_to("#1,X?;"), "#1;");
}

TEST_F(RouterUnitLinkTest, AsciiRequestsAreAnsweredWithTheirId) {
    EXPECT_EQ(reply_to(">7 #1,U?,N?;", "ASCII", 7), "#1,U208,N4321;");
    // An id whose bytes are '#' and ';' must not be taken for command text.
    EXPECT_EQ(reply_to(">15139 #1,N?;", "ASCII", 15139), "#1,N4321;");
    EXPECT_EQ(reply_to(">65535 #7,SN,D,Z;", "ASCII", 65535), "#7,SN,D,Z,Europe/Berlin;");
}

TEST_F(RouterUnitLinkTest, ShortBinaryRequestsGetTheReplyKindOfTheirCommand) {
    EXPECT_EQ(reply_to("<9 #1,N?;", "ASCII", 9), "#1,N4321;");
    const auto binary = session_->ask("<10 #D,r;", kBound);
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->kind, "BINARY");
    EXPECT_EQ(binary->id, 10);
    EXPECT_EQ(binary->length, 5u);
    EXPECT_EQ(binary->text, "#D,?;");
    // The same command in a PLAIN frame has no id to answer with: a PLAIN reply.
    EXPECT_EQ(reply_to("#D,r;"), "#D,?;");
}

TEST_F(RouterUnitLinkTest, CommandsSharingOneRecordAreAnsweredInOrder) {
    session_->server().send_line(":raw 23312C553F3B 23312C4E3F3B");  // "#1,U?;#1,N?;"
    const auto first = session_->server().wait_for_frame(session_->connection(), kBound);
    const auto second = session_->server().wait_for_frame(session_->connection(), kBound);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->text, "#1,U208;");
    EXPECT_EQ(second->text, "#1,N4321;");
}

TEST_F(RouterUnitLinkTest, GpsPositionComesFromTheSimulatedFix) {
    SKIP_WITHOUT_BUS();
    const std::string reply = first_fix_reply("#7,GP;");
    const std::regex layout(
        R"(#7,GP,1,(\d+),(\d+),(\d+),(\d+),(\d+),(\d+),46,30,0,0,N,14,15,0,0,E,2955,12;)");
    std::smatch fields;
    ASSERT_TRUE(std::regex_match(reply, fields, layout)) << reply;
    std::tm parts{};
    parts.tm_year = std::stoi(fields[1]) - 1900;
    parts.tm_mon = std::stoi(fields[2]) - 1;
    parts.tm_mday = std::stoi(fields[3]);
    parts.tm_hour = std::stoi(fields[4]);
    parts.tm_min = std::stoi(fields[5]);
    parts.tm_sec = std::stoi(fields[6]);
    // "timestamp=now": the fix time is the current second, in UTC.
    EXPECT_LE(std::abs(timegm(&parts) - std::time(nullptr)), 5) << reply;

    EXPECT_EQ(reply_to("#7,GP,1;"), "#7,GP,1,46.500000,14.250000,2955,12;");
    EXPECT_EQ(reply_to("#7,GP,2;"), "#7,?;");

    write_gps_fix(session_->root(),
                  "latitude=-12.5\nlongitude=-20.25\naltitude=10\nspeed=0\nsatellites=3\n"
                  "fix_type=2\ntimestamp=now\n");
    const std::regex moved("#7,GP,2,[0-9,]+,12,-30,0,0,S,20,-15,0,0,W,100,0;");
    EXPECT_THAT(reply_until("#7,GP;",
                            [&](const std::string& text) { return std::regex_match(text, moved); }),
                ::testing::MatchesRegex("#7,GP,2,[0-9,]+,12,-30,0,0,S,20,-15,0,0,W,100,0;"));
}

TEST_F(RouterUnitLinkTest, WithoutAFixOrWithoutTheBusTheGpsRepliesSayNoFix) {
    SKIP_WITHOUT_BUS();
    write_gps_fix(session_->root(), "");
    EXPECT_EQ(reply_until("#7,GP;", equal_to(kNoFixReply)), kNoFixReply);
    write_gps_fix(session_->root(), "latitude=1\ntimestamp=now\n");
    const auto latitude_one = [](const std::string& text) {
        return text.find(",1.000000,0.000000,") != std::string::npos;
    };
    EXPECT_THAT(reply_until("#7,GP,1;", latitude_one), HasSubstr(",1.000000,0.000000,"));

    session_->bus().stop_bus();
    EXPECT_EQ(reply_until("#7,GP;", equal_to(kNoFixReply)), kNoFixReply);
    EXPECT_EQ(reply_to(">3 #7,GP,1;", "ASCII", 3), "#7,GP,-1,0,0,0,0;");
}

TEST_F(RouterUnitLinkTest, TimeZoneIsReadAndChanged) {
    EXPECT_EQ(reply_to("#7,SN,D,Z;"), "#7,SN,D,Z,Europe/Berlin;");
    EXPECT_EQ(reply_to("#7,SN,D,Z,Mars/Olympus;"), "#7,?;");
    EXPECT_EQ(reply_to("#7,SN,D,Z,Europe/Riga;"), "#7,SN,D;");
    EXPECT_EQ(reply_to("#7,SN,D,Z;"), "#7,SN,D,Z,Europe/Riga;");

    EXPECT_THAT(read_file(session_->root() / "etc/config/system"),
                HasSubstr("option zoneName 'Europe/Riga'"));
    EXPECT_THAT(read_file(session_->root() / "etc/config/ntpclient"),
                HasSubstr("option zoneName 'Europe/Riga'"));
    // The router's init script is run to apply the zone; the stub records its calls.
    const std::string calls = session_->root() / "tmp/init.d-system.calls";
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (read_file(calls).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(read_file(calls), "restart\n");
}

TEST_F(RouterUnitLinkTest, FtpCredentialsAreSetAndCleared) {
    EXPECT_EQ(reply_to("#7,SN,D,C,1,recorder,s3cret;"), "#7,SN,D;");
    EXPECT_TRUE(session_->daemon().wait_for_output("Received FTP credentials", kBound));
    // Without the password entry the command is not understood, and nothing is stored.
    EXPECT_EQ(reply_to("#7,SN,D,C,1,recorder;"), "#7,SN,?;");
    EXPECT_EQ(reply_to(">4 #7,SN,D,C,0;", "ASCII", 4), "#7,SN,D;");
    EXPECT_TRUE(session_->daemon().wait_for_output("FTP credentials cleared", kBound));
    // Clearing again, with no account left, is answered the same way.
    EXPECT_EQ(reply_to("#7,SN,D,C,0;"), "#7,SN,D;");
}

TEST_F(RouterUnitLinkTest, OtherUnitCommands) {
    EXPECT_EQ(reply_to("#7,US;"), "#7,US,1");  // this reply has no ';'
    EXPECT_EQ(reply_to("#7,TZ;"), "#7,TZ,0;");
    EXPECT_EQ(reply_to("#7,BS;"), "#7,BS,-1,-1;");
    EXPECT_EQ(reply_to("#7,SN,S;"), "#7,SN,S,4321,1.04.0,0;");
    EXPECT_EQ(reply_to("#7,SN,T,C,2026-01-01 10:00:00,30;"), "#7,SN,T,1;");
    EXPECT_EQ(reply_to("#7,MD;"), "#7,?;");
    EXPECT_EQ(reply_to("#9,1;"), "#9,?;");
    EXPECT_EQ(reply_to("#R;"), "#R,?;");

    // The unit password over the link matches the daemon's own calculator.
    ChildProcess calculator(voxapp_binary(), {"unit_pass", "4321", "abc"}, {});
    ASSERT_EQ(calculator.wait_for_exit(kBound), 0);
    const std::string printed = calculator.output();
    ASSERT_THAT(printed, ::testing::MatchesRegex("unit_pass - [0-9A-F]{32}\r\n"));
    EXPECT_EQ(reply_to("#7,MD,abc;"), "#7,MD," + printed.substr(12, 32) + ";");
}

TEST_F(RouterUnitLinkTest, StreamedBinaryTransferLeavesTheLinkUsable) {
    // 40000 bytes in ten pieces a few milliseconds apart: the router unit takes the transfer
    // and has nothing to answer; the next command must be answered as usual.
    session_->server().send_line(":long 5 40000 4096 3");
    EXPECT_EQ(reply_to("#1,U?;"), "#1,U208;");
}

}  // namespace
}  // namespace voxapp::test
