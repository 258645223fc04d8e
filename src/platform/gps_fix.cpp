#include "platform/gps_fix.hpp"

#include <cstdio>

namespace voxapp {

std::string gps_fix_text(const GpsFix& fix) {
    char numbers[512];
    std::snprintf(numbers, sizeof numbers, "%f;%f;%f;%f;%f;%f;", fix.latitude, fix.longitude,
                  fix.altitude, fix.course, fix.speed, fix.accuracy);
    std::string text(numbers);
    text += format_time_point(fix.fix_time, "%Y-%m-%d %H:%M:%S");
    text += ';';
    text += std::to_string(fix.satellite_count);
    text += ';';
    text += std::to_string(fix.fix_type);
    return text;
}

}  // namespace voxapp
