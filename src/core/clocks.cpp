#include "core/clocks.hpp"

#include <time.h>

namespace voxapp {

TimePoint monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<TimePoint>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace voxapp
