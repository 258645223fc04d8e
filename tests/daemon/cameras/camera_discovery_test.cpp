// Cameras on the router's LAN through the real daemon: discovery, the credential probe, going
// online with the time zone and provisioning, answers the daemon must ignore, and the health
// checks that follow a camera's password and presence.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "daemon/cameras/camera_lan.hpp"
#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/temp_dir.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kBound = 20s;
constexpr std::uint32_t kRouterSerial = 4321;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool wrote(const sim::SimCamera& camera, const std::string& method, const std::string& path) {
    for (const sim::SimWrite& write : camera.writes()) {
        if (write.method == method && write.path == path) {
            return true;
        }
    }
    return false;
}

class CameraDiscoveryTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }

    // A daemon whose candidates are "admin:wrong" and then `passwords` for "admin"; the router
    // unit's link is taken.
    void start_daemon(const std::string& timing, const std::vector<std::string>& passwords) {
        namespace fs = std::filesystem;
        fs::create_directories(work_.path() + "/resources/camera");
        fs::copy_file(std::string(VOXAPP_SOURCE_DIR) + "/resources/camera/constant_recording.xml",
                      work_.path() + "/resources/camera/constant_recording.xml");
        InstrumentRig::Options options;
        options.timing = timing;
        options.extra_settings = "min_logging_level=debug\ncamera_credentials=admin:wrong\n";
        for (const std::string& password : passwords) {
            options.extra_settings += "camera_credentials=admin:" + password + "\n";
        }
        rig_ = std::make_unique<InstrumentRig>(options);
        rig_->set_working_directory(work_.path());
        rig_->start_daemon();
        const auto link = rig_->connection_of(kRouterSerial, kBound);
        ASSERT_TRUE(link);
        router_ = *link;
    }

    std::unique_ptr<sim::SimCamera> camera(const std::string& address, const std::string& mac) {
        sim::SimCamera::Options options;
        options.address = address;
        options.mac = mac;
        auto made = lan_->start_camera(options);
        EXPECT_TRUE(made) << (made ? "" : made.error().message_text());
        return made ? std::move(*made) : nullptr;
    }

    // Waits until the daemon's output holds `text` at least `count` times.
    bool logged(const std::string& text, std::size_t count = 1) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (std::chrono::steady_clock::now() < deadline) {
            if (occurrences(rig_->daemon().output(), text) >= count) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::string reply_to(const std::string& frame_line) {
        const auto reply = rig_->server().ask(router_, frame_line, kBound);
        return reply ? reply->text : "(no reply)";
    }

    void enter_lan() {
        auto lan = CameraLan::create();
        ASSERT_TRUE(lan) << lan.error().message_text();
        lan_ = std::move(*lan);
    }

    TempDir work_;
    std::unique_ptr<CameraLan> lan_;
    std::unique_ptr<InstrumentRig> rig_;
    int router_ = 0;
};

TEST_F(CameraDiscoveryTest, FindsProbesAndProvisionsTheLanCameraAndIgnoresTheRest) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    enter_lan();
    auto good = camera("192.168.77.20", "02:00:00:11:22:33");
    auto elsewhere = camera("192.168.77.21", "02:00:00:11:22:44");
    elsewhere->set_advertised_address("192.168.78.21");
    auto inactive = camera("192.168.77.22", "02:00:00:11:22:55");
    inactive->set_activated("false");
    auto hostile = camera("192.168.77.23", "02:00:00:11:22:66");
    hostile->set_raw_discovery_answer(
        "<Activated>true</Activated><IPv4Address>192.168.77.23</IPv4Address>"
        "<MAC>$(touch /tmp/x)'\"\n\x01;|`id`</MAC>" + std::string(3000, 'A'));
    ASSERT_TRUE(good && elsewhere && inactive && hostile);
    start_daemon("", {"camera-pass"});
    ASSERT_FALSE(HasFailure());

    ASSERT_TRUE(logged("Camera went online (ID: "));
    ASSERT_TRUE(logged("Camera was provisioned (ID: "));
    EXPECT_TRUE(wrote(*good, "PUT", "/ISAPI/System/time/timeZone"));
    EXPECT_TRUE(wrote(*good, "PUT", "/ISAPI/ContentMgmt/record/tracks"));
    EXPECT_TRUE(logged("[SadpDiscovery] Ignoring camera in different subnet: 192.168.78.21"));
    EXPECT_TRUE(logged("[SadpDiscovery] Ignoring inactive camera"));
    EXPECT_TRUE(logged("[SadpDiscovery] Failed to reconcile camera at 192.168.77.23: "));
    EXPECT_EQ(elsewhere->requests(), 0U);
    EXPECT_EQ(inactive->requests(), 0U);
    EXPECT_EQ(hostile->requests(), 0U);
    EXPECT_EQ(occurrences(rig_->daemon().output(), "Camera went online (ID: "), 1U);
    EXPECT_THAT(rig_->daemon().output(), Not(HasSubstr("camera-pass")));

    EXPECT_THAT(reply_to("#7,SN,S;"), HasSubstr(",1;"));
    const std::string recording = reply_to("#7,SN,T,C,2026-12-09 10:00:00,60;");
    EXPECT_THAT(recording, HasSubstr("#7,SN,T,"));
    EXPECT_THAT(recording, Not(HasSubstr("#7,SN,T,1;")));
}

TEST_F(CameraDiscoveryTest, FollowsPasswordChangesAndSilenceThroughTheHealthTimers) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    enter_lan();
    auto good = camera("192.168.77.20", "02:00:00:11:22:33");
    ASSERT_TRUE(good);
    good->set_password("first-pass");
    start_daemon("camera_check=300,camera_credentials_retry=700", {"first-pass", "second-pass"});
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(logged("Camera went online (ID: "));

    // The next check finds the credentials rejected; a retry run probes the candidates again.
    good->set_password("second-pass");
    ASSERT_TRUE(logged("Camera credentials were invalidated (ID: "));
    ASSERT_TRUE(logged("[CameraHealthMonitor] Probing credentials for 1 camera(s)..."));
    ASSERT_TRUE(logged("Camera went online (ID: ", 2));

    good->set_drop_connections(true);
    ASSERT_TRUE(logged("Camera went offline (ID: "));
    good->set_drop_connections(false);
    ASSERT_TRUE(logged("Camera went online (ID: ", 3));
}

}  // namespace
}  // namespace voxapp::test
