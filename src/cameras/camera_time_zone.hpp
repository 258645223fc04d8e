#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// A POSIX TZ string in the form the cameras take: the zone names become "CST" and "DST", the
// daylight part becomes its shift from standard time ("1" for an hour), and a transition time
// of 25 hours or more moves to the following day(s), e.g.
// "EET-2EEST,M3.5.0/3,M10.5.0/4" -> "CST-2DST1,M3.5.0/3,M10.5.0/4", "<+0530>-5:30" -> "CST-5:30",
// rule "M3.4.4/26" -> "M3.4.5/2". Never fails; text it does not understand is dropped.
std::string camera_time_zone(std::string_view posix);

}  // namespace voxapp
