#pragma once

#include <string>

namespace voxapp {

// Brings a camera's channel settings document within what the router's uplink carries, edited
// in place: at most 1920x1080 and 20 fps (maxFrameRate 2000), variable bit rate, bit rates up to
// 9182, fixed quality up to 80 at full HD, and a group of pictures of one tenth of a second's
// worth of frames (GovLength; keyFrameInterval 50 times that). Only elements that are present
// are touched. Returns whether anything changed.
bool apply_streaming_limits(std::string& channel_xml);

}  // namespace voxapp
