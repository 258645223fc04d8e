// Instruments on USB serial as the daemon meets them: simulated instruments on pseudo-terminals,
// announced by uevents in a private network namespace, greeted and given their own server link.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kBound = 15s;

class InstrumentLinkTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }
    void make_rig(const InstrumentRig::Options& options = {}) {
        rig_ = std::make_unique<InstrumentRig>(options);
    }
    bool logged(const std::string& text) { return rig_->daemon().wait_for_output(text, kBound); }

    std::unique_ptr<InstrumentRig> rig_;
};

TEST_F(InstrumentLinkTest, PluggedInstrumentIsRegisteredWithItsOwnLinkAndRemovedWhenUnplugged) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    make_rig();
    SimInstrument& instrument = rig_->add_instrument("ttyUSB0", 5001, 105);
    SimInstrument& twin = rig_->add_instrument("ttyUSB1", 5001, 105, {"--usb", "001/005"});
    rig_->start_daemon();
    // No instrument known yet: the router unit takes part on its own link.
    const auto router = rig_->connection_of(4321, kBound);
    ASSERT_TRUE(router);

    ASSERT_TRUE(instrument.run("plug"));
    ASSERT_TRUE(logged("[DeviceManager] New serial device detected: /dev/ttyUSB0 "
                       "(/dev/bus/usb/001/004)"));
    ASSERT_TRUE(logged("[DeviceManager] Adding a new KELMARO device (tty: /dev/ttyUSB0, serial: "
                       "5001)"));
    const auto link = rig_->connection_of(5001, kBound);
    ASSERT_TRUE(link);
    EXPECT_EQ(rig_->count_file(), "1");
    EXPECT_TRUE(logged("[DeviceManager] Deregistering self as a device"));
    EXPECT_TRUE(rig_->server().wait_for_closed(*router, kBound));
    const auto asked = rig_->server().ask(*link, ">5 #1,U?,N?;", kBound);
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->kind, "ASCII");
    EXPECT_EQ(asked->id, 5);
    EXPECT_EQ(asked->text, "#1,U105,N5001;");

    // The same serial on a second tty: the first registration stays, and unplugging the second
    // tty leaves it alone.
    ASSERT_TRUE(twin.run("plug"));
    ASSERT_TRUE(logged("Serial 5001 is already registered; ignoring the device on /dev/ttyUSB1"));
    ASSERT_TRUE(twin.run("unplug"));
    ASSERT_TRUE(logged("Device removed: /dev/ttyUSB1"));
    EXPECT_EQ(rig_->server().ask(*link, "#1,N?;", kBound)->text, "#1,N5001;");
    EXPECT_EQ(rig_->count_file(), "1");

    ASSERT_TRUE(instrument.run("unplug"));
    EXPECT_TRUE(logged("[DeviceManager] Removing an existing KELMARO device (tty: /dev/ttyUSB0, "
                       "serial: 5001)"));
    EXPECT_TRUE(rig_->server().wait_for_closed(*link, kBound));
    // Unplugging forgets the instrument, not the count of instruments seen.
    EXPECT_EQ(rig_->count_file(), "1");
}

TEST_F(InstrumentLinkTest, StartUpScanFindsInstrumentsAndIgnoresOtherUsbDevices) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    make_rig();
    rig_->add_instrument("ttyUSB0", 6001, 100, {}, true);
    SimInstrument& stranger =
        rig_->add_instrument("ttyUSB1", 6002, 100, {"--product", "0003", "--usb", "001/006"}, true);
    rig_->start_daemon();
    ASSERT_TRUE(logged("Adding a new KELMARO device (tty: /dev/ttyUSB0, serial: 6001)"));
    ASSERT_TRUE(rig_->connection_of(6001, kBound));
    // Announced after start-up as well: still not an instrument, and nothing is logged for it.
    ASSERT_TRUE(stranger.run("uevent add"));
    ASSERT_TRUE(logged("Connected serial device: /devices/platform/soc/usb1/1-6/1-6:1.0/ttyUSB1"));
    ASSERT_TRUE(rig_->server().ask(1, "#1,N?;", kBound));
    EXPECT_THAT(rig_->daemon().output(), Not(HasSubstr("/dev/ttyUSB1")));
    EXPECT_FALSE(stranger.saw("cmd"));
    // Never the router unit: an instrument was known before the count was looked at.
    EXPECT_THAT(rig_->daemon().output(), Not(HasSubstr("Registering self as a device")));
    EXPECT_EQ(rig_->count_file(), "1");
}

TEST_F(InstrumentLinkTest, SilentInstrumentIsGreetedAgainAfterTheRetryPeriod) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    make_rig({.timing = "instrument_retry=1500", .extra_settings = ""});
    SimInstrument& instrument = rig_->add_instrument("ttyUSB0", 7001, 100);
    rig_->start_daemon();
    ASSERT_TRUE(rig_->connection_of(4321, kBound));
    ASSERT_TRUE(instrument.run("hello off"));
    ASSERT_TRUE(instrument.run("plug"));
    ASSERT_TRUE(logged("[DeviceManager] Failed to read the response for hello from /dev/ttyUSB0"));
    // Still silent at the first retry: it stays on the list.
    ASSERT_TRUE(logged("[DeviceManager] Retrying to register a device /dev/ttyUSB0 after a failed "
                       "attempt."));
    ASSERT_TRUE(logged("[DeviceManager] Failed to register a device /dev/ttyUSB0 after a retry. "
                       "Will retry again in 60 seconds."));
    ASSERT_TRUE(instrument.run("hello on"));
    ASSERT_TRUE(logged("Adding a new KELMARO device (tty: /dev/ttyUSB0, serial: 7001)"));
    EXPECT_TRUE(rig_->connection_of(7001, kBound));
    EXPECT_EQ(rig_->count_file(), "1");
}

TEST_F(InstrumentLinkTest, GarbledHelloIsRetriedAndUnplugLeavesTheRetryList) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    make_rig({.timing = "instrument_retry=600000", .extra_settings = ""});
    SimInstrument& instrument = rig_->add_instrument("ttyUSB0", 7002, 100);
    rig_->start_daemon();
    ASSERT_TRUE(rig_->connection_of(4321, kBound));
    ASSERT_TRUE(instrument.run("hello-reply #1,?;"));
    ASSERT_TRUE(instrument.run("plug"));
    ASSERT_TRUE(logged("[DeviceManager] Failed to parse the response we're looking for in the "
                       "device: /dev/ttyUSB0"));
    ASSERT_TRUE(logged("[DeviceManager] Response: #1,?;"));
    ASSERT_TRUE(instrument.run("unplug"));
    EXPECT_TRUE(logged("Found in m_device_path_retries, removing: /dev/ttyUSB0"));
}

TEST_F(InstrumentLinkTest, InstrumentThatVanishesIsRemovedOnceAndComesBackWhenReplugged) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    make_rig();
    SimInstrument& instrument = rig_->add_instrument("ttyUSB0", 8001, 105, {}, true);
    rig_->start_daemon();
    ASSERT_TRUE(rig_->connection_of(8001, kBound));
    ASSERT_TRUE(instrument.run("vanish"));
    ASSERT_TRUE(logged("Removing an existing KELMARO device (tty: /dev/ttyUSB0, serial: 8001)"));
    // Logged once, and the loop does not spin on the dead line.
    const std::string output = rig_->daemon().output();
    const auto first = output.find("is gone");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(output.find("is gone", first + 1), std::string::npos);
    ASSERT_TRUE(instrument.run("plug"));
    EXPECT_TRUE(rig_->connection_of(8001, kBound));
}

}  // namespace
}  // namespace voxapp::test
