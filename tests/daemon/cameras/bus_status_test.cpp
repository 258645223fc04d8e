// What an operator reads of the daemon on the router's bus while it works: "ubus call voxapp
// status" (real ubusd and ubus tool) with an instrument registered, a camera online on the
// simulated LAN and a recording on its way to vsftpd, and the events "ubus listen" sees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/time_point.hpp"
#include "daemon/cameras/camera_lan.hpp"
#include "support/ftp_rig.hpp"
#include "support/instrument_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/temp_dir.hpp"
#include "support/ubus_rig.hpp"

namespace voxapp::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kBound = 30s;
constexpr std::int64_t kSecond = 1'000'000'000;

class DaemonBusStatusTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure() && rig_) {
            std::cout << rig_->diagnostics();
        }
    }

    bool logged(const std::string& text) { return rig_->daemon().wait_for_output(text, kBound); }
    bool heard(ChildProcess& listener, const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (listener.output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    std::string reply_to(int connection, const std::string& frame_line) {
        const auto reply = rig_->server().ask(connection, frame_line, kBound);
        return reply ? reply->text : "(no reply)";
    }

    TempDir work_;
    std::unique_ptr<CameraLan> lan_;
    std::unique_ptr<sim::SimCamera> camera_;
    std::unique_ptr<FtpRig> ftp_;
    std::unique_ptr<InstrumentRig> rig_;
};

TEST_F(DaemonBusStatusTest, StatusAndEventsShowInstrumentCameraAndRecordingWithoutPasswords) {
    VOXAPP_REQUIRE_VSFTPD();
    VOXAPP_ENTER_PRIVATE_NETWORK();
    const std::string ftp_password = "ftp-secret-4711";
    const std::string camera_password = "cam-secret-0815";
    auto lan = CameraLan::create();
    ASSERT_TRUE(lan) << lan.error().message_text();
    lan_ = std::move(*lan);
    sim::SimCamera::Options camera_options;
    camera_options.address = "192.168.77.20";
    camera_options.password = camera_password;
    auto camera = lan_->start_camera(camera_options);
    ASSERT_TRUE(camera) << camera.error().message_text();
    camera_ = std::move(*camera);
    // 16 MiB at 1 MiB/s: the upload is still on its way while the status is read.
    auto ftp = FtpRig::start(ftp_password, 2121, 1024 * 1024);
    ASSERT_TRUE(ftp) << ftp.error().message_text();
    ftp_ = std::move(*ftp);

    namespace fs = std::filesystem;
    fs::create_directories(work_.path() + "/resources/camera");
    fs::copy_file(std::string(VOXAPP_SOURCE_DIR) + "/resources/camera/constant_recording.xml",
                  work_.path() + "/resources/camera/constant_recording.xml");
    InstrumentRig::Options options;
    options.extra_settings =
        "ftp_address=" + ftp_->address() + "\ncamera_credentials=admin:" + camera_password + "\n";
    rig_ = std::make_unique<InstrumentRig>(options);
    rig_->set_working_directory(work_.path());
    SimInstrument& instrument = rig_->add_instrument("ttyUSB0", 9001, 105);
    if (!rig_->start_bus()) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "no system bus";
        }
        GTEST_SKIP() << "built without libubus, ubusd or the ubus tool";
    }
    std::unique_ptr<ChildProcess> listener = rig_->bus()->listen();

    const TimePoint start = (system_now() / kSecond - 3 * 3600) * kSecond;
    const std::string rtsp_client = rig_->root() / "root/app/openRTSP";
    fs::copy_file(VOXAPP_RTSP_STANDIN_PATH, rtsp_client);
    write_file(rtsp_client + ".url", "rtsp://admin:" + camera_password +
                                         "@192.168.77.20:554/Streaming/tracks/101/?starttime=" +
                                         format_time_point(start, "%Y%m%dT%H%M%SZ"));
    write_file(rtsp_client + ".content", std::string(16 * 1024 * 1024, 'v'));
    camera_->set_recordings({sim::SimRecording{start - 600 * kSecond, start + 660 * kSecond}});
    rig_->start_daemon();
    const auto router = rig_->connection_of(4321, kBound);
    ASSERT_TRUE(router);
    ASSERT_TRUE(logged("Camera went online (ID: "));
    ASSERT_EQ(
        reply_to(*router, "#7,SN,D,C,1," + std::string(FtpRig::kUser) + "," + ftp_password + ";"),
        "#7,SN,D;");
    ASSERT_EQ(reply_to(*router,
                       "#7,SN,T,C," + format_local_time_point(start, "%Y-%m-%d %H:%M:%S") + ",60;"),
              "#7,SN,T,0;");
    ASSERT_TRUE(logged("[RecordingService] Starting upload: "));
    ASSERT_TRUE(instrument.run("plug"));
    ASSERT_TRUE(
        logged("[DeviceManager] Adding a new KELMARO device (tty: /dev/ttyUSB0, serial: "
               "9001)"));

    const auto status = rig_->bus()->call("voxapp", "status");
    ASSERT_TRUE(status);
    EXPECT_THAT(*status, HasSubstr("\"tty\": \"/dev/ttyUSB0\""));
    EXPECT_THAT(*status, HasSubstr("\"serial\": 9001"));
    EXPECT_THAT(*status, HasSubstr("\"address\": \"192.168.77.20\""));
    EXPECT_THAT(*status, HasSubstr("\"status\": \"online\""));
    EXPECT_THAT(*status, HasSubstr("\"upload\": {"));
    EXPECT_THAT(*status, HasSubstr("_VID1.MP4\""));
    // Valid JSON, as LuCI and rpcd clients parse it.
    const std::string saved = work_.path() + "/status.json";
    write_file(saved, *status);
    ChildProcess parser("/usr/bin/python3",
                        {"-c", "import json,sys; json.load(open(sys.argv[1]))", saved}, {});
    EXPECT_EQ(parser.wait_for_exit(10s), 0) << *status;

    ASSERT_TRUE(logged("[RecordingService] Upload complete: "));
    EXPECT_TRUE(heard(*listener, "\"voxapp.camera.online\""));
    EXPECT_TRUE(heard(*listener, "\"voxapp.instrument.added\""));
    EXPECT_TRUE(heard(*listener, "\"voxapp.recording.uploaded\""));
    for (const std::string& secret : {ftp_password, camera_password}) {
        EXPECT_THAT(*status, Not(HasSubstr(secret)));
        EXPECT_THAT(listener->output(), Not(HasSubstr(secret)));
    }
}

}  // namespace
}  // namespace voxapp::test
