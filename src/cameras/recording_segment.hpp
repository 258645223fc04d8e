#pragma once

#include <string>

#include "core/time_range.hpp"

namespace voxapp {

// One recording a camera reported: its time span and where to play it back (an RTSP URI).
struct RecordingSegment {
    TimeRange range;
    std::string playback_uri;
};

}  // namespace voxapp
