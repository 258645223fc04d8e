#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <chrono>

#include "cameras/async_http_client.hpp"
#include "cameras/camera_driver.hpp"
#include "cameras/recording_downloader.hpp"
#include "platform/time_zone_backend.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Time limits of every request to a camera; a request that runs into one fails as a transport
// error. A camera that reboots or loses power in the middle of a request would otherwise keep
// the operation, and whatever waits for it, in flight for good.
struct CameraRequestLimits {
    // Setting up the TCP connection: a camera on the LAN answers within milliseconds; this
    // leaves room for a busy one and for the neighbour resolution of one that is gone.
    std::chrono::milliseconds connect{5000};
    // Less than one byte a second for this long, waiting for the answer included: the camera
    // has fallen silent.
    std::chrono::seconds stall{20};
    // The whole request: a search of a camera's disk or a channel reply takes seconds, and an
    // operation must end before its health timer comes round again (one minute).
    std::chrono::milliseconds overall{60000};
    // The device information, asked for by verification and the credential probe.
    std::chrono::milliseconds device_info{5000};
};

// The camera driver over HTTP: "http://<ip>/ISAPI/<resource>", digest authentication, XML
// bodies. Holds no state between operations; chained operations run from the completions.
// The client, the zone table and the downloader must outlive the driver.
class HttpCameraDriver final : public CameraDriver {
public:
    // `logger` (may be null) hears of playback URIs refused for naming another host.
    HttpCameraDriver(AsyncHttpClient& client, const TimeZoneBackend& zones,
                     RecordingDownloader& downloader, const Ipv4Address& ip,
                     CameraCredential credential, std::string provisioning_file,
                     const CameraRequestLimits& limits, std::shared_ptr<Logger> logger);

    void get_device_info(Done done) override;
    void get_time(Completion<TimePoint> done) override;
    void set_time(TimePoint time, Done done) override;
    void enable_ntp(Done done) override;
    void set_time_zone(const std::string& zone_name, Done done) override;
    void search_recordings(const TimeRange& range,
                           Completion<std::vector<RecordingSegment>> done) override;
    void download_recording(const RecordingSegment& segment, const std::string& local_path,
                            Done done) override;
    void provision(Done done) override;
    void enforce_streaming_limits(Done done) override;

private:
    using BodyCompletion = Completion<std::string>;

    // Sends one request within the limits (`overall` replacing the usual whole-request limit)
    // and maps the answer: 200 gives the body, 401 Unauthorized, any other status Failed, a
    // client error TransportError.
    void request(const char* method, const char* resource, std::optional<std::string> body,
                 std::optional<std::chrono::milliseconds> overall, BodyCompletion done);
    // Wraps a continuation so that it is dropped once this driver is gone.
    template <typename T>
    Completion<T> guarded(Completion<T> next);

    AsyncHttpClient& client_;
    const TimeZoneBackend& zones_;
    RecordingDownloader& downloader_;
    Ipv4Address ip_;
    CameraCredential credential_;
    std::string base_url_;
    std::string provisioning_file_;
    CameraRequestLimits limits_;
    std::shared_ptr<Logger> logger_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class HttpCameraDriverFactory final : public CameraDriverFactory {
public:
    // The file sent by provision; relative paths are taken from the working directory.
    static constexpr const char* kProvisioningFile = "resources/camera/constant_recording.xml";

    HttpCameraDriverFactory(AsyncHttpClient& client, const TimeZoneBackend& zones,
                            RecordingDownloader& downloader,
                            std::string provisioning_file = kProvisioningFile,
                            const CameraRequestLimits& limits = {},
                            std::shared_ptr<Logger> logger = nullptr);

    std::unique_ptr<CameraDriver> create(const Ipv4Address& ip,
                                         const CameraCredential& credential) override;

private:
    AsyncHttpClient& client_;
    const TimeZoneBackend& zones_;
    RecordingDownloader& downloader_;
    std::string provisioning_file_;
    CameraRequestLimits limits_;
    std::shared_ptr<Logger> logger_;
};

}  // namespace voxapp
