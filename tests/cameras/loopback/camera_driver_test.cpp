#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "cameras/async_http_client_using_curl.hpp"
#include "cameras/camera_test_doubles.hpp"
#include "cameras/camera_xml.hpp"
#include "cameras/http_camera_driver.hpp"
#include "sim_camera/sim_camera.hpp"
#include "support/network_namespace.hpp"
#include "support/temp_dir.hpp"
#include "system/io/io_test_support.hpp"

namespace voxapp {
namespace {

constexpr TimePoint kSecond = 1'000'000'000;
const std::string kTracksFile =
    std::string(VOXAPP_SOURCE_DIR) + "/resources/camera/constant_recording.xml";

// The driver against the simulated camera on 127.0.0.1:80, in a network namespace of the
// test's own.
class CameraDriverLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXAPP_ENTER_PRIVATE_NETWORK();
        sim::SimCamera::Options options;
        options.port = 80;
        auto started = sim::SimCamera::start(options);
        ASSERT_TRUE(started.ok()) << started.error().code();
        camera = std::move(*started);
        auto created = AsyncHttpClientUsingCurl::create(loop);
        ASSERT_TRUE(created.ok());
        client = std::move(*created);
        factory =
            std::make_unique<HttpCameraDriverFactory>(*client, zones, downloader, kTracksFile);
        driver =
            factory->create(Ipv4Address(127, 0, 0, 1), CameraCredential{"admin", "camera-pass"});
    }

    // Runs one operation to its completion.
    template <typename T, typename Start>
    CameraResult<T> run(Start start, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::optional<CameraResult<T>> outcome;
        start([&](CameraResult<T> result) { outcome.emplace(std::move(result)); });
        EXPECT_TRUE(test::poll_until(
            loop, [&] { return outcome.has_value(); }, bound));
        if (!outcome) {
            return CameraDriverFailure{CameraDriverError::Failed, "no completion"};
        }
        return std::move(*outcome);
    }
    CameraOutcome run_done(std::function<void(CameraDriver::Done)> start) {
        return run<std::monostate>(std::move(start));
    }
    CameraOutcome device_info() {
        return run_done([&](CameraDriver::Done done) { driver->get_device_info(done); });
    }

    EventLoop loop = *EventLoop::create();
    std::unique_ptr<sim::SimCamera> camera;
    std::unique_ptr<AsyncHttpClientUsingCurl> client;
    test::FakeTimeZones zones;
    test::FakeRecordingDownloader downloader;
    std::unique_ptr<HttpCameraDriverFactory> factory;
    std::unique_ptr<CameraDriver> driver;
};

TEST_F(CameraDriverLoopbackTest, MapsTheCamerasAnswersToErrorKinds) {
    EXPECT_TRUE(device_info().ok());
    camera->set_forced_status(401);
    EXPECT_EQ(device_info().error(), CameraDriverError::Unauthorized);
    camera->set_forced_status(404);
    EXPECT_EQ(device_info().error(), CameraDriverError::Failed);
    camera->set_forced_status(500);
    EXPECT_EQ(device_info().error(), CameraDriverError::Failed);
    camera->set_forced_status(0);
    camera->set_drop_connections(true);
    EXPECT_EQ(device_info().error(), CameraDriverError::TransportError);
    camera->set_drop_connections(false);
    camera->set_malformed_xml(true);
    auto time = run<TimePoint>([&](auto done) { driver->get_time(done); });
    EXPECT_EQ(time.error(), CameraDriverError::Failed);
}

TEST_F(CameraDriverLoopbackTest, ACameraSilentForFiveSecondsIsATransportError) {
    camera->set_delay_ms(7000);
    const auto started = std::chrono::steady_clock::now();
    auto result = run<std::monostate>([&](auto done) { driver->get_device_info(done); },
                                      std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.error(), CameraDriverError::TransportError);
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::milliseconds(6900));
}

TEST_F(CameraDriverLoopbackTest, QueriesAndConfiguresTheClockAndZone) {
    auto now = run<TimePoint>([&](auto done) { driver->get_time(done); });
    ASSERT_TRUE(now.ok()) << now.failure().detail;
    EXPECT_LT(std::abs(*now - system_now()), 5 * kSecond);

    ASSERT_TRUE(run_done([&](auto done) { driver->set_time_zone("Europe/Helsinki", done); }).ok());
    EXPECT_EQ(camera->time_zone(), "CST-2DST1,M3.5.0/3,M10.5.0/4");
    EXPECT_EQ(run_done([&](auto done) { driver->set_time_zone("Nowhere/Atlantis", done); }).error(),
              CameraDriverError::Failed);

    const TimePoint hour_ago = system_now() - 3600 * kSecond;
    ASSERT_TRUE(run_done([&](auto done) { driver->set_time(hour_ago, done); }).ok());
    EXPECT_EQ(camera->time_mode(), "manual");
    auto camera_time = run<TimePoint>([&](auto done) { driver->get_time(done); });
    ASSERT_TRUE(camera_time.ok());
    EXPECT_LT(std::abs(*camera_time - hour_ago), 5 * kSecond);

    ASSERT_TRUE(run_done([&](auto done) { driver->enable_ntp(done); }).ok());
    EXPECT_EQ(camera->time_mode(), "NTP");
    EXPECT_EQ(camera->time_zone(), "CST-2DST1,M3.5.0/3,M10.5.0/4");
}

TEST_F(CameraDriverLoopbackTest, FindsTheRecordingsOverlappingARange) {
    const TimePoint base = 1'704'067'200 * kSecond;  // 2024-01-01 00:00:00 UTC
    camera->set_recordings({{base, base + 600 * kSecond},
                            {base + 600 * kSecond, base + 1200 * kSecond},
                            {base + 7200 * kSecond, base + 7800 * kSecond}});
    const TimeRange wanted = *TimeRange::create(base + 300 * kSecond, base + 900 * kSecond);
    auto found = run<std::vector<RecordingSegment>>(
        [&](auto done) { driver->search_recordings(wanted, done); });
    ASSERT_TRUE(found.ok()) << found.failure().detail;
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0].range.start(), base);
    EXPECT_EQ((*found)[1].range.end(), base + 1200 * kSecond);
    EXPECT_TRUE((*found)[1].playback_uri.starts_with(
        "rtsp://127.0.0.1:554/Streaming/tracks/101/?starttime=20240101T001000Z"));

    const TimeRange empty = *TimeRange::create(base + 3000 * kSecond, base + 3100 * kSecond);
    auto none = run<std::vector<RecordingSegment>>(
        [&](auto done) { driver->search_recordings(empty, done); });
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
}

TEST_F(CameraDriverLoopbackTest, ProvisioningRecordsContinuouslyLimitsTheStreamAndEnablesNtp) {
    ASSERT_TRUE(run_done([&](auto done) { driver->provision(done); }).ok());
    const auto writes = camera->writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].path, "/ISAPI/ContentMgmt/record/tracks");
    EXPECT_EQ(writes[0].body, test::read_file(kTracksFile));
    EXPECT_EQ(writes[1].path, "/ISAPI/Streaming/channels/101");
    EXPECT_EQ(writes[2].path, "/ISAPI/System/time");
    EXPECT_EQ(camera->time_mode(), "NTP");
    const std::string channel = camera->channel_xml();
    EXPECT_EQ(xml_integer_value(channel, "videoResolutionWidth"), 1920);
    EXPECT_EQ(xml_integer_value(channel, "maxFrameRate"), 2000);
    EXPECT_EQ(xml_element_value(channel, "videoQualityControlType"), "VBR");

    // Within the limits now: nothing more is written.
    ASSERT_TRUE(run_done([&](auto done) { driver->enforce_streaming_limits(done); }).ok());
    EXPECT_EQ(camera->writes().size(), 3u);

    camera->set_forced_status(404);
    EXPECT_EQ(run_done([&](auto done) { driver->provision(done); }).error(),
              CameraDriverError::Failed);
}

}  // namespace
}  // namespace voxapp
