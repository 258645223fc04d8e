#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cameras/camera_driver_error.hpp"
#include "cameras/recording_segment.hpp"
#include "core/ipv4_address.hpp"
#include "core/settings.hpp"
#include "core/time_point.hpp"
#include "core/time_range.hpp"

namespace voxapp {

// Speaks one camera's HTTP API with one credential pair.
//
// Every operation takes a completion that is called exactly once on the event loop's thread,
// with the value or a failure; it may be called before the operation returns (a request that
// cannot even be started) and may destroy the driver. Destroying a driver drops the
// completions of its operations still running without calling them.
class CameraDriver {
public:
    template <typename T>
    using Completion = std::function<void(CameraResult<T>)>;
    using Done = Completion<std::monostate>;

    virtual ~CameraDriver() = default;

    // Whether the camera answers and takes the credentials (5 s limit).
    virtual void get_device_info(Done done) = 0;
    // The camera's clock, read as the router's local time.
    virtual void get_time(Completion<TimePoint> done) = 0;
    // Sets the camera's clock by hand to `time` (router's local time).
    virtual void set_time(TimePoint time, Done done) = 0;
    // Lets the camera set its clock by NTP, keeping its time zone.
    virtual void enable_ntp(Done done) = 0;
    // Sets the camera's zone from an IANA name (looked up in the router's zone table).
    virtual void set_time_zone(const std::string& zone_name, Done done) = 0;
    // The recordings of track 101 overlapping `range` (at most 100).
    virtual void search_recordings(const TimeRange& range,
                                   Completion<std::vector<RecordingSegment>> done) = 0;
    // Fetches the segment into `local_path` through the recording downloader.
    virtual void download_recording(const RecordingSegment& segment, const std::string& local_path,
                                    Done done) = 0;
    // Continuous recording, streaming limits, NTP: the set-up of a camera that came online.
    virtual void provision(Done done) = 0;
    // Brings channel 101 within the streaming limits; sends nothing when it is within them.
    virtual void enforce_streaming_limits(Done done) = 0;
};

// Makes a driver for one camera and one credential pair.
class CameraDriverFactory {
public:
    virtual ~CameraDriverFactory() = default;
    virtual std::unique_ptr<CameraDriver> create(const Ipv4Address& ip,
                                                 const CameraCredential& credential) = 0;
};

}  // namespace voxapp
