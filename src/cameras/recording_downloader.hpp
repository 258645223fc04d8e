#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// One recorded segment to fetch over RTSP into a local file.
struct RecordingDownloadRequest {
    std::string url;  // with "user:password@" after the scheme
    std::string output_path;
    std::int64_t duration_seconds = 0;
    int frame_rate = 0;
    int width = 0;
    int height = 0;
};

// Fetches recordings, one at a time. The camera driver uses it; the RTSP implementation lives
// with the recording transfer.
class RecordingDownloader {
public:
    // Success, or the reason the download failed.
    using Completion = std::function<void(Status)>;

    virtual ~RecordingDownloader() = default;
    // Starts a download and returns at once; the completion is called exactly once on the event
    // loop's thread, possibly before download returns when the download cannot start.
    virtual void download(const RecordingDownloadRequest& request, Completion completion) = 0;
    // Whether a download is running.
    virtual bool is_busy() const = 0;
    // Stops the running download, if any; its completion is not called. It may stay busy until
    // the download has ended. By default there is nothing to stop.
    virtual void cancel() {}
};

}  // namespace voxapp
