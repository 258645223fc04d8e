#pragma once

#include <functional>

#include "core/time_point.hpp"

namespace voxapp {

// Nanoseconds of the monotonic clock, which never steps, whatever happens to the system time.
TimePoint monotonic_now();

// The clocks a component reads. Wall time only stamps texts; every time limit, expiry, retry and
// back-off runs on monotonic time, so that a step of the system clock (NTP or GPS setting it at
// boot) neither freezes a wait nor cuts it short. Tests replace both.
struct Clocks {
    std::function<TimePoint()> wall = system_now;
    std::function<TimePoint()> monotonic = monotonic_now;
};

}  // namespace voxapp
