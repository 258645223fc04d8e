#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/time_point.hpp"
#include "platform/gps_receiver.hpp"

namespace voxapp {

// Where the simulated receiver reads its fix (relocated below VOXAPP_ROOT).
inline constexpr const char* kSimulatedGpsFixPath = "/tmp/voxapp-gps-fix";

// A GPS receiver on a PC: its fix is a text file that a test, the demo or a person writes.
// Every get reads the file afresh. Lines are "key=value"; blank lines and lines starting with
// "#" are ignored. Keys (each optional, 0 when absent):
//   latitude, longitude, altitude, course, speed, accuracy   decimal numbers
//   satellites, fix_type                                     integers
//   timestamp   seconds since 1970-01-01 UTC, or "now" for the current second of the wall
//               clock (so the fix stays current without rewriting the file); 0: no data
//   result      the library's result code to answer (0, 1 or 2); default 0
// A missing file answers kGpsResultBusError (like an unreachable bus); an unreadable file, one
// that is not a regular file (a FIFO, a device), one larger than kMaxFixFileBytes, an unknown
// key or a value that is not a number answers kGpsResultLibraryError.
class SimulatedGpsReceiver final : public GpsReceiver {
public:
    static constexpr std::size_t kMaxFixFileBytes = 4096;

    // The wall clock that "now" reads.
    using Clock = std::function<TimePoint()>;

    explicit SimulatedGpsReceiver(std::string path, Clock clock = system_now);

    int get(GpsRecordBytes& record) override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    Clock clock_;
};

}  // namespace voxapp
