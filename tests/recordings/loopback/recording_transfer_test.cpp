// What the daemon's recording test cannot set up: requests the service refuses, requests for
// one camera that arrive together, a range that ends in the future. With real peers: the camera
// driver against the simulated camera, the RTSP client's stand-in, curl and vsftpd, all in the
// test's own network namespace, the service ticking on the event loop as in the daemon.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cameras/async_http_client_using_curl.hpp"
#include "cameras/camera_test_doubles.hpp"
#include "cameras/http_camera_driver.hpp"
#include "core/system_paths.hpp"
#include "recordings/curl_ftp_file_publisher.hpp"
#include "recordings/open_rtsp_recording_downloader.hpp"
#include "recordings/recording_names.hpp"
#include "recordings/transfer_recording_service.hpp"
#include "sim_camera/sim_camera.hpp"
#include "support/ftp_rig.hpp"
#include "support/network_namespace.hpp"
#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"
#include "system/io/io_test_support.hpp"
#include "system/io/timer.hpp"

namespace voxapp {
namespace {

using namespace std::chrono_literals;
using test::read_file;
using test::write_file;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::uint32_t kClient = 4321;
const UnitIdentity kRouterUnit{11, kClient};
const Uuid kCamera = *Uuid::parse("6f1c2a3b-0000-4000-8000-000000000001");
// Shell syntax of every kind, in the FTP and the camera password alike.
const std::string kHostile = "p\"q'r $(touch MARK) `touch MARK`;touch MARK|cat &s";

class OneCamera : public CameraLookup {
public:
    Result<RecordingCamera> find(const Uuid& id) const override {
        if (!(id == kCamera)) {
            return Error::fixed("Camera not found");
        }
        return RecordingCamera{Ipv4Address(127, 0, 0, 1), CameraCredential{"admin", kHostile}};
    }
    Result<RecordingCamera> find_by_mac(const MacAddress& /*mac*/) const override {
        return Error::fixed("Camera not found");
    }
};

class RecordingTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXAPP_REQUIRE_VSFTPD();
        VOXAPP_ENTER_PRIVATE_NETWORK();
        ::unlink("MARK");
        ::setenv("VOXAPP_ROOT", root_.path().c_str(), 1);
        std::filesystem::create_directories(root_ / "root/app");
        std::filesystem::copy_file(VOXAPP_RTSP_STANDIN_PATH, rtsp_client_);

        sim::SimCamera::Options options;
        options.port = 80;
        options.password = kHostile;
        auto camera = sim::SimCamera::start(options);
        ASSERT_TRUE(camera) << camera.error().code();
        camera_ = std::move(*camera);
        auto http = AsyncHttpClientUsingCurl::create(loop_);
        ASSERT_TRUE(http);
        http_ = std::move(*http);
        auto downloader = OpenRtspRecordingDownloader::create(loop_, logger_);
        ASSERT_TRUE(downloader);
        downloader_ = std::move(*downloader);
        drivers_ = std::make_shared<HttpCameraDriverFactory>(*http_, zones_, *downloader_);

        auto store = InMemoryClientStore::create();
        ASSERT_TRUE(store);
        clients_ = *ClientService::create(
            std::shared_ptr<EventDispatcher>(*EventDispatcher::create()), *store);
        ASSERT_TRUE(clients_->set_credentials(kClient, test::FtpRig::kUser, kHostile));
    }
    void TearDown() override {
        EXPECT_NE(::access("MARK", F_OK), 0) << "a value ran as a shell command";
        ::unlink("MARK");
        ::unsetenv("VOXAPP_ROOT");
    }

    void start(std::uint32_t ftp_max_rate = 0) {
        auto ftp = test::FtpRig::start(kHostile, 2121, ftp_max_rate);
        ASSERT_TRUE(ftp) << ftp.error().message();
        ftp_ = std::move(*ftp);
        auto publisher = CurlFtpFilePublisher::create(clients_, loop_, logger_, ftp_->address());
        ASSERT_TRUE(publisher);
        TransferRecordingService::Collaborators collaborators{
            std::make_shared<OneCamera>(),
            drivers_,
            std::move(*publisher),
            nullptr,
            std::make_shared<VideoIdCounter>(root_ / "root/app/lastVideoId"),
            nullptr,
            logger_};
        TransferRecordingService::Timing timing;
        timing.retry_delay = 300ms;
        auto service = TransferRecordingService::create(collaborators, system_path("/tmp/camera"),
                                                        false, timing);
        ASSERT_TRUE(service) << service.error().message();
        service_ = *service;
        auto timer = Timer::create(50, 50, [this] { service_->tick(); });
        ASSERT_TRUE(timer);
        timer_ = std::make_unique<Timer>(std::move(*timer));
        ASSERT_TRUE(loop_.add(*timer_));
    }

    // A range that ended a while ago on the camera's clock.
    TimeRange past_range(std::int64_t length_s) const {
        const TimePoint end = (system_now() / kSecond - 120) * kSecond;
        return *TimeRange::create(end - length_s * kSecond, end);
    }
    bool logged(const std::string& part) const {
        for (const auto& text : logger_->texts()) {
            if (text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    bool wait_for_log(const std::string& part, std::chrono::milliseconds bound = 20s) {
        return test::poll_until(
            loop_, [&] { return logged(part); }, bound);
    }

    test::TempDir root_;
    std::string rtsp_client_ = root_ / "root/app/openRTSP";
    EventLoop loop_ = *EventLoop::create();
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::unique_ptr<sim::SimCamera> camera_;
    std::unique_ptr<AsyncHttpClientUsingCurl> http_;
    test::FakeTimeZones zones_;
    std::unique_ptr<OpenRtspRecordingDownloader> downloader_;
    std::shared_ptr<HttpCameraDriverFactory> drivers_;
    std::shared_ptr<ClientService> clients_;
    std::unique_ptr<test::FtpRig> ftp_;
    std::shared_ptr<TransferRecordingService> service_;
    std::unique_ptr<Timer> timer_;
};

TEST_F(RecordingTransferTest, RefusesUnknownCamerasKeepsEveryAcceptedRequestAndWaitsForTheEnd) {
    ASSERT_NO_FATAL_FAILURE(start());
    const Uuid other = *Uuid::parse("6f1c2a3b-0000-4000-8000-000000000002");
    const Status refused = service_->request_recording(other, kClient, kRouterUnit, past_range(10));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Camera not found");

    // Two requests for one camera while its clock is being asked: both are kept.
    const TimeRange first = past_range(10);
    const TimeRange second =
        *TimeRange::create(first.start() - 600 * kSecond, first.end() - 600 * kSecond);
    camera_->set_recordings(
        {sim::SimRecording{second.start() - 60 * kSecond, first.end() + 60 * kSecond}});
    write_file(rtsp_client_ + ".content", "ten seconds");
    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, first));
    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, second));
    ASSERT_TRUE(test::poll_until(
        loop_,
        [&] {
            std::size_t done = 0;
            for (const auto& text : logger_->texts()) {
                done += text.starts_with("[RecordingService] Upload complete: ") ? 1 : 0;
            }
            return done == 2;
        },
        20s));
    for (const TimeRange& range : {first, second}) {
        const std::string name = recording_file_name(kRouterUnit, range.start());
        const std::string base = name.substr(0, name.size() - 4) + "_VID";
        std::size_t found = 0;
        for (const auto& entry : std::filesystem::directory_iterator(ftp_->home())) {
            found += entry.path().filename().string().starts_with(base) ? 1 : 0;
        }
        EXPECT_EQ(found, 1u) << name;
    }

    const TimePoint now = system_now();
    const TimeRange future = *TimeRange::create(now - 10 * kSecond, now + 3600 * kSecond);
    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, future));
    ASSERT_TRUE(
        wait_for_log("[RecordingService] Recording not ready yet, delaying first attempt by "));
}

}  // namespace
}  // namespace voxapp
