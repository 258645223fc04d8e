#pragma once

#include <cstdint>
#include <string>

#include "core/time_point.hpp"

namespace voxapp {

// One accepted position of the router's GPS receiver.
struct GpsFix {
    double longitude = 0.0;  // degrees, within [-180, 180]
    double latitude = 0.0;   // degrees, within [-90, 90]
    double altitude = 0.0;
    double course = 0.0;
    double speed = 0.0;
    double accuracy = 0.0;
    TimePoint fix_time = 0;  // wall clock, UTC, whole seconds
    std::uint8_t satellite_count = 0;
    std::uint8_t fix_type = 0;  // 1 or 2 as the receiver reports them, 0 for anything else

    friend bool operator==(const GpsFix&, const GpsFix&) = default;
};

// The fix for log lines: latitude, longitude, altitude, course, speed and accuracy ("%f"), the
// fix time ("%Y-%m-%d %H:%M:%S" UTC), satellite count and fix type, joined by ";".
std::string gps_fix_text(const GpsFix& fix);

}  // namespace voxapp
