#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Where the router's time zone lives; TimeZoneService is the facade the rest of the daemon uses.
class TimeZoneBackend {
public:
    virtual ~TimeZoneBackend() = default;

    // The POSIX TZ string for an IANA zone name. Thread-safe.
    virtual Result<std::string> posix_time_zone(std::string_view name) const = 0;
    // Makes `name` the system's time zone.
    virtual Status set_time_zone(std::string_view name) = 0;
    // The system's IANA zone name.
    virtual Result<std::string> current_time_zone() = 0;
};

}  // namespace voxapp
