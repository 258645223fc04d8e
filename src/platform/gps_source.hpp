#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/result.hpp"
#include "platform/gps_fix.hpp"
#include "platform/gps_receiver.hpp"

namespace voxapp {

// The router's current position, read from the GPS receiver. A fix is accepted only while the
// receiver's timestamp keeps advancing: once it has stood still for more than a second, every
// read fails until it moves again. One instance serves the whole process.
//
// Threads: get_fix may be called from any thread; a mutex serialises the receiver call and the
// staleness state.
class GpsSource {
public:
    // Monotonic nanoseconds; measures how long the receiver's timestamp has stood still.
    using Clock = std::function<std::int64_t()>;
    static std::int64_t steady_now();

    // Reads the receiver once to learn its current timestamp, so that a receiver that stopped
    // before the process started does not yield a fix. Cannot fail.
    static Result<std::shared_ptr<GpsSource>> create(std::shared_ptr<GpsReceiver> receiver,
                                                     Clock clock = steady_now);

    // Errors: "Couldn't get gps data due to a UBUS communication error.",
    // "Couldn't get gps data due to a LibGPS error.", "No current GPS data available.",
    // "Latitude should be between -90.0 and 90.0", "Longitude should be between -180.0 and
    // 180.0".
    Result<GpsFix> get_fix();

    GpsSource(const GpsSource&) = delete;
    GpsSource& operator=(const GpsSource&) = delete;

private:
    GpsSource(std::shared_ptr<GpsReceiver> receiver, Clock clock);

    std::mutex mutex_;
    std::shared_ptr<GpsReceiver> receiver_;
    Clock clock_;
    std::int64_t last_gps_time_ = 0;
    std::optional<std::int64_t> last_change_;
};

}  // namespace voxapp
