// The recording transfer from request to FTP file with real peers: the camera driver against
// the simulated camera, the RTSP client's stand-in, curl and vsftpd, all in the test's own
// network namespace, the service ticking on the event loop as in the daemon.
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

    // A range that ended a while ago on the camera's clock; recorded by a segment covering
    // `covered` seconds of it.
    TimeRange past_range(std::int64_t length_s) const {
        const TimePoint end = (system_now() / kSecond - 120) * kSecond;
        return *TimeRange::create(end - length_s * kSecond, end);
    }
    void record(const TimeRange& range, std::int64_t covered_s) {
        camera_->set_recordings(
            {sim::SimRecording{range.start() - 60 * kSecond, range.start() + covered_s * kSecond}});
    }
    std::string expected_url(const TimeRange& range) const {
        return "rtsp://admin:" + kHostile + "@127.0.0.1:554/Streaming/tracks/101/?starttime=" +
               format_time_point(range.start(), "%Y%m%dT%H%M%SZ");
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

TEST_F(RecordingTransferTest, RetriesAFailedDownloadThenUploadsAndResumesACutUpload) {
    // Slow enough (about 4 s for the file) to cut the upload while it runs; larger than what
    // the sockets hold, so the cut loses data on the way.
    ASSERT_NO_FATAL_FAILURE(start(2 * 1024 * 1024));
    const TimeRange range = past_range(300);
    record(range, 400);
    std::string content(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 13 % 256);
    }
    write_file(rtsp_client_ + ".content", content);
    write_file(rtsp_client_ + ".url", expected_url(range));
    write_file(rtsp_client_ + ".exits", "3\n0\n");
    const std::string file_name = recording_file_name(kRouterUnit, range.start());
    const std::string local_path = root_ / ("tmp/camera/" + file_name);
    const std::string remote_name = remote_file_name(file_name, 1);

    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, range));

    // First download: the client fails after writing half; nothing of it stays.
    ASSERT_TRUE(wait_for_log("[RecordingService] Download failed: 3"));
    EXPECT_FALSE(std::filesystem::exists(local_path));
    EXPECT_TRUE(logged("[OpenRtspRecordingDownloader] Starting download: rtsp://admin:****@"));
    EXPECT_FALSE(logged(kHostile));

    // The retry after the delay succeeds and the upload starts; cut it while it runs.
    ASSERT_TRUE(wait_for_log("[RecordingService] Starting upload: " + remote_name));
    EXPECT_EQ(read_file(local_path), content);
    const std::string temporary = ftp_->home() + "/" + remote_name + ".tmp";
    ASSERT_TRUE(test::poll_until(
        loop_,
        [&] {
            std::error_code ec;
            return std::filesystem::file_size(temporary, ec) >= 1024 * 1024 && !ec;
        },
        20s));
    ftp_->stop();
    ASSERT_TRUE(wait_for_log("[RecordingService] Upload failed: Curl upload failed"));
    const auto cut_size = std::filesystem::file_size(temporary);
    ASSERT_LT(cut_size, content.size());
    ASSERT_TRUE(ftp_->restart());

    ASSERT_TRUE(wait_for_log("[RecordingService] Upload complete: " + remote_name, 30s));
    EXPECT_TRUE(logged("[CurlFtpFilePublisher] Resuming upload from "));
    std::size_t new_uploads = 0;
    for (const auto& text : logger_->texts()) {
        new_uploads += text.starts_with("[CurlFtpFilePublisher] Starting new upload") ? 1 : 0;
    }
    EXPECT_EQ(new_uploads, 1u);
    EXPECT_EQ(read_file(ftp_->home() + "/" + remote_name), content);
    EXPECT_FALSE(std::filesystem::exists(temporary));
    // The local copy stays after the upload; the next id is stored.
    EXPECT_TRUE(std::filesystem::exists(local_path));
    EXPECT_EQ(read_file(root_ / "root/app/lastVideoId"), "2\n");
    EXPECT_EQ(read_file(rtsp_client_ + ".count"), "2\n");
}

TEST_F(RecordingTransferTest, AcceptsAPartialRecordingOnTheFifthAttempt) {
    ASSERT_NO_FATAL_FAILURE(start());
    const TimeRange range = past_range(60);
    record(range, 30);  // the camera holds only the first half
    write_file(rtsp_client_ + ".content", "partial recording");
    const std::string file_name = recording_file_name(kRouterUnit, range.start());

    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, range));
    ASSERT_TRUE(wait_for_log("[RecordingService] Upload complete: ", 30s));
    std::size_t not_yet = 0;
    for (const auto& text : logger_->texts()) {
        not_yet += text.starts_with("[RecordingService] No full recording yet for: ") ? 1 : 0;
    }
    EXPECT_EQ(not_yet, 4u);
    EXPECT_TRUE(logged("[RecordingService] Last attempt, using partial recording for: " +
                       range.to_string()));
    EXPECT_EQ(read_file(ftp_->home() + "/" + remote_file_name(file_name, 1)), "partial recording");
    // The whole wanted range is asked for, from its start.
    EXPECT_EQ(read_file(rtsp_client_ + ".calls"), "-d 60 " + expected_url(range) + "\n");
}

TEST_F(RecordingTransferTest, RequestsForUnknownCamerasAreRefusedAndFutureRangesWait) {
    ASSERT_NO_FATAL_FAILURE(start());
    const Uuid other = *Uuid::parse("6f1c2a3b-0000-4000-8000-000000000002");
    const TimeRange past = past_range(10);
    const Status refused = service_->request_recording(other, kClient, kRouterUnit, past);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Camera not found");

    const TimePoint now = system_now();
    const TimeRange future = *TimeRange::create(now - 10 * kSecond, now + 3600 * kSecond);
    ASSERT_TRUE(service_->request_recording(kCamera, kClient, kRouterUnit, future));
    ASSERT_TRUE(
        wait_for_log("[RecordingService] Recording not ready yet, delaying first attempt by "));
    // Nothing is searched meanwhile.
    const std::size_t asked = camera_->requests();
    (void)test::poll_until(
        loop_, [] { return false; }, 1s);
    EXPECT_EQ(camera_->requests(), asked);
}

}  // namespace
}  // namespace voxapp
