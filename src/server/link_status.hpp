#pragma once

#include <cstddef>
#include <string>

#include "core/time_point.hpp"

namespace voxapp {

// What an operator sees of one server connection.
struct LinkStatus {
    bool connected = false;
    TimePoint connected_since = 0;  // when the link now up came up; 0 while down
    std::size_t replies_queued = 0;
    std::string last_error;  // empty when none so far
};

}  // namespace voxapp
