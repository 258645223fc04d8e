#pragma once

#include <string>

#include "core/time_point.hpp"
#include "platform/gps_record.hpp"

namespace voxapp::sim {

// The simulated receiver's state: a text file that a test, the demo or a person writes, read
// afresh on every request. Lines are "key=value"; blank lines and lines starting with "#" are
// ignored. Keys (each optional, 0 when absent):
//   latitude, longitude, altitude, course, speed, accuracy   decimal numbers
//   satellites, fix_type                                     integers
//   timestamp   seconds since 1970-01-01 UTC, or "now" for the current second of `now` (so the
//               fix stays current without rewriting the file); 0: no data
//   result      0, or 2 to make the service fail the call (the library then reports its error)
struct GpsFixFile {
    enum class Outcome { fix, no_file, invalid };
    Outcome outcome = Outcome::no_file;
    int result = 0;
    GpsRecord record;
};

// A missing file is `no_file`; an unreadable file, an unknown key or a value that is not a
// number is `invalid`.
GpsFixFile read_gps_fix_file(const std::string& path, TimePoint now);

// The same on text already read.
GpsFixFile parse_gps_fix(const std::string& text, TimePoint now);

}  // namespace voxapp::sim
