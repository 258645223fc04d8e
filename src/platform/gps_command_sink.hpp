#pragma once

#include <string>

#include "core/time_point.hpp"

namespace voxapp {

// Where a GPS tracker hands its commands: the device's link, which queues them on the device
// as if they had come from the server, with no reply expected.
class GpsCommandSink {
public:
    virtual ~GpsCommandSink() = default;

    // Queues `text` for the device; the device drops it unsent once the wall clock has passed
    // `expiry`. Called on the tracker's own thread.
    virtual void submit_command(std::string text, TimePoint expiry) = 0;
};

}  // namespace voxapp
