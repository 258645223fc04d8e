// Cameras on the router's LAN through the real daemon: discovery, the credential probe, going
// online with the time zone and provisioning, answers the daemon must ignore, the health
// checks that follow a camera's password and presence, and a camera and LAN that misbehave.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/time_point.hpp"
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
constexpr std::int64_t kSecond = 1'000'000'000;
// Growth of the daemon's resident memory a flood of discovery answers may cause; sanitizer
// builds hold freed memory in quarantine and grow several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kFloodGrowthKib = 64 * 1024;
#else
constexpr long kFloodGrowthKib = 16 * 1024;
#endif

bool wrote(const sim::SimCamera& camera, const std::string& method, const std::string& path) {
    for (const sim::SimWrite& write : camera.writes()) {
        if (write.method == method && write.path == path) {
            return true;
        }
    }
    return false;
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

std::string answer(const std::string& address, const std::string& mac) {
    return "<MAC>" + mac + "</MAC><IPv4Address>" + address + "</IPv4Address>";
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
        return rig_->daemon().wait_for_output(text, kBound, count);
    }

    std::size_t count(const std::string& text) const {
        return rig_->daemon().count_in_output(text);
    }
    std::string recording_request(TimePoint start) {
        return reply_to("#7,SN,T,C," + format_local_time_point(start, "%Y-%m-%d %H:%M:%S") +
                        ",60;");
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
        "<MAC>$(touch /tmp/x)'\"\n\x01;|`id`</MAC>" +
        std::string(3000, 'A'));
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
    EXPECT_EQ(count("Camera went online (ID: "), 1U);
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

// In sequence: a camera silent from the middle of a PUT on, a clock query that hangs under a
// recording request, 2000 spoofed answers, an address with octal-looking parts, and a playback
// URI that names another host.
TEST_F(CameraDiscoveryTest, RidesOutSilenceHangsFloodsAndForeignHosts) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    enter_lan();
    auto good = camera("192.168.77.20", "02:00:00:11:22:33");
    ASSERT_TRUE(good);
    good->hang_after("PUT /ISAPI/ContentMgmt/record/tracks");
    const TimePoint start = (system_now() / kSecond - 3 * 3600) * kSecond;
    good->set_recordings({sim::SimRecording{start - 600 * kSecond, start + 600 * kSecond}});
    start_daemon(
        "camera_request=1500,camera_device_info=1000,camera_check=700,"
        "camera_credentials_retry=1000,recording_retry=300",
        {"camera-pass"});
    ASSERT_FALSE(HasFailure());
    const std::string rtsp_client = rig_->root() / "root/app/openRTSP";
    std::filesystem::copy_file(VOXAPP_RTSP_STANDIN_PATH, rtsp_client);
    // A client that leaves an empty file has failed: the stand-in gets bytes to write.
    test::write_file(rtsp_client + ".content", "recording bytes");

    // 1. The set-up fails within its limit, the health timer finds the camera gone and sets it
    // up again once it answers.
    ASSERT_TRUE(logged("Camera provisioning has failed (ID: "));
    ASSERT_TRUE(logged("Camera went offline (ID: "));
    good->set_hang("");
    ASSERT_TRUE(logged("Camera was provisioned (ID: "));

    // 2. Accepted while the clock query hangs, and served once the camera answers.
    good->set_hang("GET /ISAPI/System/time");
    EXPECT_EQ(recording_request(start), "#7,SN,T,0;");
    ASSERT_TRUE(logged("[RecordingService] Failed to get camera time: 1"));
    good->set_hang("");
    ASSERT_TRUE(logged("[RecordingService] Download complete: 208-4321-" +
                       format_local_time_point(start, "%Y%m%d_%H_%M_%S") + ".MP4"));

    // 3. Read in decimal, as stored: outside the LAN, so never contacted.
    ASSERT_TRUE(good->send_discovery_answers({answer("192.0250.0115.5", "02:00:00:aa:bb:cc")}));
    ASSERT_TRUE(logged("[SadpDiscovery] Ignoring camera in different subnet: 192.0250.0115.5"));

    // 4. The store stays bounded, the router unit quick and the memory put.
    const long memory_before = resident_kib(rig_->daemon().pid());
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        std::mt19937 random(24);
        const auto byte = [&random] { return static_cast<unsigned>(random() & 0xff); };
        for (int batch = 0; batch < 40; ++batch) {
            std::vector<std::string> answers;
            for (int i = 0; i < 50; ++i) {
                char mac[18];
                std::snprintf(mac, sizeof mac, "02:%02x:%02x:%02x:%02x:%02x", byte(), byte(),
                              byte(), byte(), byte());
                answers.push_back(answer("192.168.77." + std::to_string(100 + byte() % 100), mac));
            }
            (void)good->send_discovery_answers(answers);
            std::this_thread::sleep_for(25ms);
        }
        flooding = false;
    });
    std::vector<double> round_trips;
    while (flooding || round_trips.size() < 50) {
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_THAT(reply_to("#7,SN,S;"), HasSubstr("#7,SN,S,4321,"));
        round_trips.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                .count());
    }
    flood.join();
    std::sort(round_trips.begin(), round_trips.end());
    EXPECT_LT(round_trips[round_trips.size() * 99 / 100], 200.0);
    const std::string retry = "[CameraHealthMonitor] Probing credentials for ";
    ASSERT_TRUE(logged(retry, count(retry) + 1));
    // Full: the camera itself and 63 of the made-up ones, still probed in turn.
    const std::string output = rig_->daemon().output();
    EXPECT_EQ(std::atol(output.c_str() + output.rfind(retry) + retry.size()), 63);
    EXPECT_EQ(count("[SadpDiscovery] Camera store is full"), 1u);
    EXPECT_LT(resident_kib(rig_->daemon().pid()) - memory_before, kFloodGrowthKib);

    // 5. Refused before the password could leave: the RTSP client never runs for it.
    good->set_playback_host("192.168.77.30");
    const std::string calls = read_file(rtsp_client + ".calls");
    const std::size_t downloads = count("[RecordingService] Download ");
    EXPECT_EQ(recording_request(start + 120 * kSecond), "#7,SN,T,0;");
    ASSERT_TRUE(logged("[RecordingService] Download ", downloads + 1));
    EXPECT_EQ(read_file(rtsp_client + ".calls"), calls);
    EXPECT_TRUE(
        logged("[HttpCameraDriver] Playback URI of camera 192.168.77.20 names another "
               "host (192.168.77.30:554)"));
    EXPECT_TRUE(logged("[RecordingService] Download failed: 4"));
    EXPECT_THAT(rig_->daemon().output(), Not(HasSubstr("camera-pass")));
}

}  // namespace
}  // namespace voxapp::test
