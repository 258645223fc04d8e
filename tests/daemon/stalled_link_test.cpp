// A server link that stops taking bytes holds up only its own device: replies wait on that
// connection's side, and the other devices' commands are still answered at once.

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <string>

#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = 30s;

TEST(StalledLinkTest, OtherDeviceIsAnsweredWhileOneServerLinkIsStalled) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    InstrumentRig rig({});
    SimInstrument& stuck = rig.add_instrument("ttyUSB0", 9101, 105, {}, true);
    SimInstrument& other = rig.add_instrument("ttyUSB1", 9102, 105, {"--usb", "001/005"}, true);
    rig.start_daemon();
    SimServerProcess& server = rig.server();

    // Both instruments are plugged in from the start, so their links come up in either order.
    std::map<std::string, int> links;
    for (int i = 0; i < 2; ++i) {
        const auto connection = rig.wait_for_connection(kBound);
        ASSERT_TRUE(connection) << rig.diagnostics();
        const auto serial = server.ask(*connection, "#1,N?;", kBound);
        ASSERT_TRUE(serial) << rig.diagnostics();
        links[serial->text] = *connection;
    }
    ASSERT_TRUE(links.contains("#1,N9101;") && links.contains("#1,N9102;")) << rig.diagnostics();
    const int stuck_link = links["#1,N9101;"];
    const int other_link = links["#1,N9102;"];

    // Replies of 30 000 bytes until the stalled link's buffers are full and its sends would block.
    ASSERT_TRUE(stuck.run("on #7,BIG => #7,BIG," + std::string(30000, 'x') + ";"));
    ASSERT_TRUE(other.run("on #7,AB => #7,AB,42;"));
    server.send_line(":stall " + std::to_string(stuck_link) + " on");
    for (int command = 0; command < 250; ++command) {
        server.send_line("@" + std::to_string(stuck_link) + " #7,BIG;");
    }
    ASSERT_TRUE(
        rig.daemon().wait_for_output("EAGAIN while trying to send data... retrying...", kBound))
        << rig.diagnostics();

    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        const auto reply = server.ask(other_link, "#7,AB;", kBound);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        ASSERT_TRUE(reply) << rig.diagnostics();
        EXPECT_EQ(reply->text, "#7,AB,42;");
        EXPECT_LT(took, 100ms) << "round " << round;
    }
    if (::testing::Test::HasFailure()) {
        std::cout << rig.diagnostics().substr(0, 20000);
    }
}

}  // namespace
}  // namespace voxapp::test
