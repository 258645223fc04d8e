#pragma once

#include <string>

#include "core/result.hpp"
#include "platform/gps_fix.hpp"

namespace voxapp {

// The replies to "#7,GP;" (long) and "#7,GP,1;" (short), from the router's current fix or, when
// there is none, the fixed no-fix texts.
std::string gp_long_reply(const Result<GpsFix>& fix);
std::string gp_short_reply(const Result<GpsFix>& fix);

}  // namespace voxapp
