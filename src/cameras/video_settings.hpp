#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Picture size and frame rate of a camera stream; max_frame_rate in hundredths of a frame per
// second.
struct VideoSettings {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t max_frame_rate = 0;

    // The frame rate handed to the RTSP client: 20 % above the stream's (2500 -> 30, 2000 -> 24),
    // so that it never drops frames that arrive a little early.
    int download_frame_rate() const;
};

// Reads the "Video" element of a channel settings document. Errors: "Channel settings without
// Video", "Channel settings without a usable videoResolutionWidth, videoResolutionHeight or
// maxFrameRate" (missing, not a number, or outside 0-65535).
Result<VideoSettings> parse_video_settings(std::string_view channel_xml);

}  // namespace voxapp
