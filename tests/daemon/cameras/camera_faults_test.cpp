// One camera through the real daemon while it and its LAN misbehave, in sequence: a camera that
// falls silent in the middle of a PUT and comes back, a clock query that hangs under a recording
// request, a flood of spoofed discovery answers, an address written with octal parts, and a
// playback URI that names another host.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
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
constexpr const char* kPassword = "camera-pass";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The number in the last "<prefix>N" of `text`, or -1.
long last_number_after(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.rfind(prefix);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + prefix.size());
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

std::string spoofed_answer(const std::string& address, const std::string& mac) {
    return "<ProbeMatch><MAC>" + mac + "</MAC><IPv4Address>" + address +
           "</IPv4Address><Activated>true</Activated></ProbeMatch>";
}

class CameraFaultsTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }

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
    std::size_t count(const std::string& text) {
        return occurrences(rig_->daemon().output(), text);
    }
    std::string reply_to(const std::string& frame_line) {
        const auto reply = rig_->server().ask(router_, frame_line, kBound);
        return reply ? reply->text : "(no reply)";
    }

    TempDir work_;
    std::unique_ptr<CameraLan> lan_;
    std::unique_ptr<sim::SimCamera> camera_;
    std::unique_ptr<InstrumentRig> rig_;
    int router_ = 0;
};

TEST_F(CameraFaultsTest, RidesOutSilenceHangsFloodsAndForeignHosts) {
    VOXAPP_ENTER_PRIVATE_NETWORK();
    auto lan = CameraLan::create();
    ASSERT_TRUE(lan) << lan.error().message_text();
    lan_ = std::move(*lan);
    sim::SimCamera::Options options;
    options.address = "192.168.77.20";
    options.password = kPassword;
    auto camera = lan_->start_camera(options);
    ASSERT_TRUE(camera) << camera.error().message_text();
    camera_ = std::move(*camera);
    // The camera reboots right after it took the recording set-up: it answers nothing more.
    camera_->hang_after("PUT /ISAPI/ContentMgmt/record/tracks");
    const TimePoint start = (system_now() / kSecond - 3 * 3600) * kSecond;
    camera_->set_recordings({sim::SimRecording{start - 600 * kSecond, start + 600 * kSecond}});

    namespace fs = std::filesystem;
    fs::create_directories(work_.path() + "/resources/camera");
    fs::copy_file(std::string(VOXAPP_SOURCE_DIR) + "/resources/camera/constant_recording.xml",
                  work_.path() + "/resources/camera/constant_recording.xml");
    InstrumentRig::Options rig_options;
    rig_options.timing =
        "camera_request=1500,camera_device_info=1000,camera_check=700,"
        "camera_credentials_retry=1000,recording_retry=300";
    rig_options.extra_settings =
        "min_logging_level=debug\ncamera_credentials=admin:wrong\n"
        "camera_credentials=admin:" +
        std::string(kPassword) + "\n";
    rig_ = std::make_unique<InstrumentRig>(rig_options);
    rig_->set_working_directory(work_.path());
    const std::string rtsp_client = rig_->root() / "root/app/openRTSP";
    fs::copy_file(VOXAPP_RTSP_STANDIN_PATH, rtsp_client);
    write_file(rtsp_client + ".content", "a minute of video");
    rig_->start_daemon();
    const auto link = rig_->connection_of(kRouterSerial, kBound);
    ASSERT_TRUE(link);
    router_ = *link;

    // 1. Silent in the middle of a PUT: the set-up fails within its limit, the health timer
    // finds the camera gone and, once it answers again, set up again.
    ASSERT_TRUE(logged("Camera went online (ID: "));
    ASSERT_TRUE(logged("Camera provisioning has failed (ID: "));
    ASSERT_TRUE(logged("Camera went offline (ID: "));
    camera_->set_hang("");
    ASSERT_TRUE(logged("Camera went online (ID: ", 2));
    ASSERT_TRUE(logged("Camera was provisioned (ID: "));

    // 2. A recording requested while the camera's clock query hangs: accepted, and served once
    // the camera answers again.
    camera_->set_hang("GET /ISAPI/System/time");
    const std::size_t hung = camera_->hung();
    EXPECT_EQ(reply_to("#7,SN,T,C," + format_local_time_point(start, "%Y-%m-%d %H:%M:%S") + ",60;"),
              "#7,SN,T,0;");
    ASSERT_TRUE(logged("[RecordingService] Failed to get camera time: 1"));
    EXPECT_GT(camera_->hung(), hung);
    camera_->set_hang("");
    const std::string file_name =
        "208-4321-" + format_local_time_point(start, "%Y%m%d_%H_%M_%S") + ".MP4";
    ASSERT_TRUE(logged("[RecordingService] Download complete: " + file_name));

    // 3. An address with octal-looking parts is read as the decimal it is written in: outside
    // the LAN, so nothing is sent to it.
    ASSERT_TRUE(
        camera_->send_discovery_answers({spoofed_answer("192.0250.0115.5", "02:00:00:aa:bb:cc")}));
    ASSERT_TRUE(logged("[SadpDiscovery] Ignoring camera in different subnet: 192.0250.0115.5"));

    // 4. 2000 answers with random MACs: the store stays bounded, the router unit keeps answering
    // quickly and the daemon's memory stays put.
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
                answers.push_back(
                    spoofed_answer("192.168.77." + std::to_string(100 + byte() % 100), mac));
            }
            (void)camera_->send_discovery_answers(answers);
            std::this_thread::sleep_for(25ms);
        }
        flooding = false;
    });
    std::vector<double> round_trips;
    while (flooding || round_trips.size() < 50) {
        const auto asked = std::chrono::steady_clock::now();
        const std::string reply = reply_to("#7,SN,S;");
        round_trips.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                .count());
        EXPECT_THAT(reply, HasSubstr("#7,SN,S,4321,"));
    }
    flood.join();
    std::sort(round_trips.begin(), round_trips.end());
    EXPECT_LT(round_trips[round_trips.size() * 99 / 100], 200.0);
    const std::string full = "[SadpDiscovery] Camera store is full";
    ASSERT_TRUE(logged(full));
    const std::string retry = "[CameraHealthMonitor] Probing credentials for ";
    const std::size_t runs = count(retry);
    ASSERT_TRUE(logged(retry, runs + 1));
    // Full: the camera itself and 63 of the made-up ones, still probed in turn.
    EXPECT_EQ(last_number_after(rig_->daemon().output(), retry), 63);
    EXPECT_EQ(count(full), 1u);
    EXPECT_LT(resident_kib(rig_->daemon().pid()) - memory_before, 16 * 1024);

    // 5. A playback URI naming another host: the download is refused before the password could
    // leave, and the RTSP client never runs for it.
    camera_->set_playback_host("192.168.77.30");
    const std::string calls = read_file(rtsp_client + ".calls");
    const TimePoint later = start + 120 * kSecond;
    EXPECT_EQ(reply_to("#7,SN,T,C," + format_local_time_point(later, "%Y-%m-%d %H:%M:%S") + ",60;"),
              "#7,SN,T,0;");
    const std::string later_file =
        "208-4321-" + format_local_time_point(later, "%Y%m%d_%H_%M_%S") + ".MP4";
    ASSERT_TRUE(logged("[RecordingService] Downloading: " + later_file));
    const auto settled = std::chrono::steady_clock::now() + kBound;
    while (count("[RecordingService] Download failed: ") == 0 &&
           count("[RecordingService] Download complete: " + later_file) == 0 &&
           std::chrono::steady_clock::now() < settled) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(read_file(rtsp_client + ".calls"), calls);
    EXPECT_GE(count("[RecordingService] Download failed: 4"), 1u);
    EXPECT_GE(count("[HttpCameraDriver] Playback URI of camera 192.168.77.20 names another host "
                    "(192.168.77.30:554)"),
              1u);
    EXPECT_THAT(rig_->daemon().output(), Not(HasSubstr(kPassword)));
}

}  // namespace
}  // namespace voxapp::test
