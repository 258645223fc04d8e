// The GPS library's road on a PC: the stand-in lgps_get over a real ubusd to the simulated GPS
// service, and what the daemon sees when the bus is missing or goes away.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/gps_receiver.hpp"
#include "support/temp_dir.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp {
namespace {

using test::TempDir;
using test::UbusRig;

class ScopedRoot {
public:
    explicit ScopedRoot(const std::string& path) { setenv("VOXAPP_ROOT", path.c_str(), 1); }
    ~ScopedRoot() { unsetenv("VOXAPP_ROOT"); }
};

void write_fix(const TempDir& root, const std::string& lines) {
    test::write_file_with_parents(root / "tmp/voxapp-gps-fix.new", lines);
    std::rename((root / "tmp/voxapp-gps-fix.new").c_str(), (root / "tmp/voxapp-gps-fix").c_str());
}

bool skip_without_bus() {
    return !test::ubus_rig_available();
}

TEST(GpsBusTest, TheFixTravelsOverTheBusAndAStoppedBusIsABusError) {
    if (skip_without_bus()) {
        GTEST_SKIP() << "built without libubus, ubusd or the simulated GPS service";
    }
    TempDir root;
    UbusRig rig(root.path());
    ASSERT_TRUE(rig.ready()) << rig.diagnostics();
    ScopedRoot relocated(root.path());

    auto receiver = connect_gps_receiver();
    ASSERT_TRUE(receiver.ok());
    GpsRecordBytes bytes{};

    write_fix(root,
              "latitude=-33.5\nlongitude=20.25\naltitude=212.34\ncourse=90\nspeed=1.5\n"
              "accuracy=3.5\nsatellites=9\nfix_type=2\ntimestamp=1709647629\n");
    ASSERT_EQ((*receiver)->get(bytes), kGpsResultOk) << rig.diagnostics();
    EXPECT_EQ(decode_gps_record(bytes),
              (GpsRecord{20.25, -33.5, 212.34, 90.0, 1.5, 3.5, 9, 2, 1'709'647'629}));

    // A receiver without a fix answers, with timestamp 0.
    std::remove((root / "tmp/voxapp-gps-fix").c_str());
    ASSERT_EQ((*receiver)->get(bytes), kGpsResultOk);
    EXPECT_EQ(decode_gps_record(bytes).timestamp, 0);

    write_fix(root, "result=2\n");
    EXPECT_EQ((*receiver)->get(bytes), kGpsResultLibraryError);

    // Writing to the closed socket must not end the process (SIGPIPE).
    rig.stop_bus();
    EXPECT_EQ((*receiver)->get(bytes), kGpsResultBusError);
    EXPECT_EQ((*receiver)->get(bytes), kGpsResultBusError);
}

TEST(GpsBusTest, WithoutABusTheConnectionFailsAndReadsAreBusErrors) {
    TempDir root;
    ScopedRoot relocated(root.path());
    auto receiver = connect_gps_receiver();
    ASSERT_FALSE(receiver.ok());
    EXPECT_EQ(receiver.error().message(), "Failed to connect to ubus.");
    GpsRecordBytes bytes{};
    EXPECT_EQ(make_gps_receiver(nullptr)->get(bytes), kGpsResultBusError);
}

// The bus library would otherwise catch SIGTERM until the daemon installs its own handler, and a
// stop signal in that window would be lost.
TEST(GpsBusTest, ConnectingLeavesTheProcessSignalsAsTheyWere) {
    TempDir root;
    ScopedRoot relocated(root.path());
    for (int signal_number : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE}) {
        struct sigaction before {};
        ASSERT_EQ(sigaction(signal_number, nullptr, &before), 0);
        UbusContextHandle bus = connect_ubus();
        struct sigaction after {};
        ASSERT_EQ(sigaction(signal_number, nullptr, &after), 0);
        EXPECT_EQ(after.sa_handler, before.sa_handler) << signal_number;
    }
}

}  // namespace
}  // namespace voxapp
