// The "gps_test" tool mode of the built binary, reading the router's position through a real
// ubusd from the simulated GPS service, and what it prints when the bus is missing or stops.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include "support/daemon_process.hpp"
#include "support/router_unit_session.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;
constexpr const char* kBusError =
    "An error occured while getting gps data: Couldn't get gps data due to a UBUS communication "
    "error.\n";

ChildProcess start_gps_test(const DaemonRoot& root) {
    return ChildProcess(root.executable(), {"gps_test"}, {{"VOXAPP_ROOT", root.path()}});
}

TEST(GpsTestModeSystemTest, PrintsTheFixFromTheBusThenBusErrorsOnceItStops) {
    if (!ubus_rig_available()) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "no system bus in this build";
        }
        GTEST_SKIP() << "built without libubus, ubusd or the GPS simulator";
    }
    DaemonRoot root;
    write_gps_fix(root,
                  "latitude=46.5\nlongitude=14.25\nspeed=1.25\naccuracy=3.5\nsatellites=9\n"
                  "fix_type=2\ntimestamp=now\n");
    UbusRig bus(root.path());
    ASSERT_TRUE(bus.ready()) << bus.diagnostics();
    ChildProcess tool = start_gps_test(root);

    ASSERT_TRUE(tool.wait_for_output(",3,46.500000,14.250000,1.25\n", kBound)) << tool.output();
    EXPECT_EQ(tool.output().find("Failed to connect to ubus."), std::string::npos);

    bus.stop_bus();
    ASSERT_TRUE(tool.wait_for_output(kBusError, kBound)) << tool.output();
    tool.send_signal(SIGINT);
    EXPECT_EQ(tool.wait_for_exit(kBound), 0);
    EXPECT_NE(tool.output().find(" Interrupt (SIGINT) signal received - 2\n"), std::string::npos);
}

TEST(GpsTestModeSystemTest, WithoutTheBusSaysSoAndReportsEachRead) {
    DaemonRoot root;
    ChildProcess tool = start_gps_test(root);
    ASSERT_TRUE(tool.wait_for_output(kBusError, kBound)) << tool.output();
    EXPECT_EQ(tool.output().rfind("Failed to connect to ubus.An error occured", 0), 0u)
        << tool.output();
    tool.send_signal(SIGINT);
    EXPECT_EQ(tool.wait_for_exit(kBound), 0);
}

}  // namespace
}  // namespace voxapp::test
