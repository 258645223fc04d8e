// The server's commands relayed to simulated instruments through the real daemon: frame kinds,
// replies mixed with the instrument's own talk, time limits, retries and the USB reset, long
// binary uploads, and the commands the router answers in the instrument's place.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/router_unit_session.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

constexpr auto kBound = 15s;

class InstrumentCommandsTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }

    // A daemon with one instrument of `unit_type`, serial 9001, registered and linked.
    void start(std::uint32_t unit_type, const InstrumentRig::Options& options = {}) {
        rig_ = std::make_unique<InstrumentRig>(options);
        bus_ = rig_->start_bus();
        write_gps_fix(rig_->root(),
                      "latitude=46.5\nlongitude=14.25\naltitude=295.5\nspeed=1.25\n"
                      "satellites=9\nfix_type=2\ntimestamp=now\n");
        instrument_ = &rig_->add_instrument("ttyUSB0", 9001, unit_type, {}, true);
        rig_->start_daemon();
        const auto link = rig_->connection_of(9001, kBound);
        ASSERT_TRUE(link);
        link_ = *link;
    }

    std::optional<SimLine> ask(const std::string& frame_line) {
        return rig_->server().ask(link_, frame_line, kBound);
    }
    std::string reply_to(const std::string& frame_line) {
        const auto reply = ask(frame_line);
        return reply ? reply->text : "(no reply)";
    }
    bool logged(const std::string& text) { return rig_->daemon().wait_for_output(text, kBound); }

    std::unique_ptr<InstrumentRig> rig_;
    SimInstrument* instrument_ = nullptr;
    int link_ = 0;
    bool bus_ = false;
};

TEST_F(InstrumentCommandsTest, RepliesComeBackInTheFrameKindOfTheirRequest) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(105);
    ASSERT_TRUE(instrument_->run("on #7,AB => #7,AB,42;"));
    const auto plain = ask("#7,AB;");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->kind, "PLAIN");
    EXPECT_EQ(plain->text, "#7,AB,42;");
    EXPECT_TRUE(instrument_->wait_for("cmd #7,AB;", kBound));

    const auto ascii = ask(">7 #7,AB;");
    ASSERT_TRUE(ascii);
    EXPECT_EQ(ascii->kind, "ASCII");
    EXPECT_EQ(ascii->id, 7);
    EXPECT_EQ(ascii->text, "#7,AB,42;");

    // A memory read: the payload follows the header, as long as its fifth parameter says.
    ASSERT_TRUE(instrument_->run("on #D,r => #D,r,0,0,0,5;AB\\x00CD"));
    const auto binary = ask("<9 #D,r,0,0,0,5;");
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->kind, "BINARY");
    EXPECT_EQ(binary->id, 9);
    EXPECT_EQ(binary->text, std::string("#D,r,0,0,0,5;AB\0CD", 18));

    // An instrument that does not know a command says so, and that is the reply.
    EXPECT_EQ(reply_to("#7,XY;"), "#7,?;");
}

TEST_F(InstrumentCommandsTest, ReplySplitAcrossReadsWithItsLengthAfterTheHeader) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(105);
    // A group 4 reply: 4 length bytes (8), then 8 bytes, dribbling in 3 bytes at a time.
    ASSERT_TRUE(instrument_->run("on #4 => #4;\\x08\\x00\\x00\\x0012345678"));
    ASSERT_TRUE(instrument_->run("split 3 30"));
    const auto reply = ask("<11 #4;");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->kind, "BINARY");
    EXPECT_EQ(reply->id, 11);
    EXPECT_EQ(reply->text, std::string("#4;\x08\0\0\0" "12345678", 15));
}

TEST_F(InstrumentCommandsTest, TextAroundTheReplyReachesTheServerAsMessagesOfTheirOwn) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(103);  // a model that answers GP itself
    ASSERT_TRUE(instrument_->run("on #7,GP => #7,XX,1;#7,GP,1,2;#7,YY;"));
    EXPECT_EQ(reply_to("#7,GP;"), "#7,GP,1,2;");
    const auto first = rig_->server().wait_for_frame(link_, kBound);
    const auto second = rig_->server().wait_for_frame(link_, kBound);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->kind, "PLAIN");
    EXPECT_EQ(first->text, "#7,XX,1;");
    EXPECT_EQ(second->text, "#7,YY;");

    // Unasked talk, garbage included, goes on as the instrument sent it.
    ASSERT_TRUE(instrument_->run("send #5,1,2;"));
    const auto spontaneous = rig_->server().wait_for_frame(link_, kBound);
    ASSERT_TRUE(spontaneous);
    EXPECT_EQ(spontaneous->text, "#5,1,2;");
}

TEST_F(InstrumentCommandsTest, SilentInstrumentIsRetriedThenResetAndComesBack) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(105, {.timing = "instrument_reply_model=300,instrument_retry=300", .extra_settings = ""});
    ASSERT_TRUE(instrument_->run("silent on"));
    rig_->server().send_line("@" + std::to_string(link_) + " #7,AB;");
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_TRUE(instrument_->wait_for("cmd #7,AB;", kBound)) << "attempt " << attempt;
    }
    ASSERT_TRUE(logged("Failed to communicate with the device 5 times in a row. Hard resetting "
                       "the device."));
    ASSERT_TRUE(logged("Resetting device: /dev/ttyUSB0 (/dev/bus/usb/001/004)"));
    // The simulator saw the reset node opened and re-enumerates, as a real device does.
    ASSERT_TRUE(instrument_->wait_for("reset", kBound));
    ASSERT_TRUE(instrument_->run("silent off"));
    ASSERT_TRUE(logged("Removing an existing KELMARO device (tty: /dev/ttyUSB0, serial: 9001)"));
    const auto again = rig_->connection_of(9001, kBound);
    ASSERT_TRUE(again);
}

TEST_F(InstrumentCommandsTest, LongBinaryUploadReachesTheInstrumentByteForByte) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(105);
    constexpr std::uint32_t kFrameLength = 1 << 20;
    rig_->server().send_line(":use " + std::to_string(link_));
    rig_->server().send_line(":long 21 " + std::to_string(kFrameLength) + " 16384");
    const auto data = instrument_->wait_for("data ", 120s);
    ASSERT_TRUE(data);
    // The simulator server's payload: "#9,1,<n>," then n bytes cycling through a filler.
    const std::string header = "#9,1,1048565,";
    std::uint32_t hash = 2166136261u;
    const std::string filler = "0123456789ABCDEF;";
    for (std::uint32_t i = 0; i < kFrameLength - header.size(); ++i) {
        hash ^= static_cast<unsigned char>(filler[i % filler.size()]);
        hash *= 16777619u;
    }
    char expected[32];
    std::snprintf(expected, sizeof expected, "data %u %08x", kFrameLength - 13, hash);
    EXPECT_EQ(*data, expected);
    const auto answer = rig_->server().wait_for_frame(link_, kBound);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->kind, "ASCII");
    EXPECT_EQ(answer->id, 21);
    EXPECT_THAT(answer->text, MatchesRegex("#9,1,1048563,[0-9a-f]{8};"));
    // The line is free again for ordinary commands.
    EXPECT_EQ(reply_to("#1,N?;"), "#1,N9001;");
}

TEST_F(InstrumentCommandsTest, RouterAnswersWhatTheInstrumentCannotWithoutTouchingTheLine) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(100);  // the basic kind
    EXPECT_THAT(reply_to("#7,MD,abc;"), MatchesRegex("#7,MD,[0-9A-F]{32};"));
    EXPECT_EQ(reply_to("#7,MD;"), "#7,?;");
    // The GPS source accepts the fix once it has seen the receiver's time move; without a bus
    // in this build there is no fix at all.
    const std::string expected =
        bus_ ? "#7,GP,1,46.500000,14.250000,2955,12;" : "#7,GP,-1,0,0,0,0;";
    std::string position = reply_to("#7,GP,1;");
    for (const auto deadline = std::chrono::steady_clock::now() + kBound;
         bus_ && position.starts_with("#7,GP,-1") && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(100ms);
        position = reply_to("#7,GP,1;");
    }
    EXPECT_EQ(position, expected);
    EXPECT_EQ(reply_to("#R,C?;"), "#R,C,1;");
    EXPECT_EQ(reply_to("#R,C,x;"), "#R,?;");
    EXPECT_EQ(reply_to("#R,X;"), "#R,?;");
    EXPECT_EQ(reply_to("#7,SV,D,C,1,rec,pw;"), "#7,SV,D;");

    // Count 0: the router unit takes part again; any other count removes it.
    EXPECT_EQ(reply_to("#R,C,0;"), "#R,C,0;");
    ASSERT_TRUE(logged("[DeviceManager] Registering self as a device"));
    const auto router = rig_->connection_of(4321, kBound);
    ASSERT_TRUE(router);
    EXPECT_EQ(reply_to("#R,C,2;"), "#R,C,2;");
    ASSERT_TRUE(logged("[DeviceManager] Deregistering self as a device"));
    EXPECT_TRUE(rig_->server().wait_for_closed(*router, kBound));
    EXPECT_EQ(rig_->count_file(), "2");

    // Nothing of the above went down the serial line.
    EXPECT_EQ(reply_to("#1,N?;"), "#1,N9001;");
    EXPECT_FALSE(instrument_->saw("cmd #7"));
    EXPECT_FALSE(instrument_->saw("cmd #R,C"));
}

TEST_F(InstrumentCommandsTest, BasicInstrumentGetsThePositionOnceASecond) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    start(100, {.timing = "", .extra_settings = "component=gps_location:false\n"});
    if (!bus_) {
        GTEST_SKIP() << "this build has no system bus, hence no position to push";
    }
    const auto first = instrument_->wait_for("cmd #7,MG,", kBound);
    const auto second = instrument_->wait_for("cmd #7,MG,", kBound);
    ASSERT_TRUE(first && second);
    EXPECT_THAT(rig_->daemon().output(), HasSubstr("[9001] Creating GpsTracker component"));
}

}  // namespace
}  // namespace voxapp::test
