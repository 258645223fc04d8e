#include "platform/gps_source.hpp"

#include <time.h>

#include <cassert>
#include <limits>
#include <utility>

namespace voxapp {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kStaleAfter = kNanosPerSecond;

bool within(double value, double limit) {
    // Written so that NaN is out of range too.
    return value >= -limit && value <= limit;
}

}  // namespace

std::int64_t GpsSource::steady_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

Result<std::shared_ptr<GpsSource>> GpsSource::create(std::shared_ptr<GpsReceiver> receiver,
                                                     Clock clock) {
    assert(receiver != nullptr && clock);
    return std::shared_ptr<GpsSource>(new GpsSource(std::move(receiver), std::move(clock)));
}

GpsSource::GpsSource(std::shared_ptr<GpsReceiver> receiver, Clock clock)
    : receiver_(std::move(receiver)), clock_(std::move(clock)) {
    GpsRecordBytes bytes{};
    const int result = receiver_->get(bytes);
    if (result != kGpsResultBusError && result != kGpsResultLibraryError) {
        last_gps_time_ = decode_gps_record(bytes).timestamp;
    }
}

Result<GpsFix> GpsSource::get_fix() {
    GpsRecord record;
    {
        std::lock_guard lock(mutex_);
        GpsRecordBytes bytes{};
        const int result = receiver_->get(bytes);
        if (result == kGpsResultBusError) {
            return Error::fixed("Couldn't get gps data due to a UBUS communication error.");
        }
        if (result == kGpsResultLibraryError) {
            return Error::fixed("Couldn't get gps data due to a LibGPS error.");
        }
        record = decode_gps_record(bytes);
        // A time beyond what a time point can hold is garbage, not a position.
        if (record.timestamp == 0 ||
            record.timestamp > std::numeric_limits<TimePoint>::max() / kNanosPerSecond ||
            record.timestamp < std::numeric_limits<TimePoint>::min() / kNanosPerSecond) {
            return Error::fixed("No current GPS data available.");
        }
        const std::int64_t now = clock_();
        if (record.timestamp == last_gps_time_) {
            if (!last_change_ || now - *last_change_ > kStaleAfter) {
                return Error::fixed("No current GPS data available.");
            }
        } else {
            last_change_ = now;
            last_gps_time_ = record.timestamp;
        }
    }
    if (!within(record.latitude, 90.0)) {
        return Error::fixed("Latitude should be between -90.0 and 90.0");
    }
    if (!within(record.longitude, 180.0)) {
        return Error::fixed("Longitude should be between -180.0 and 180.0");
    }
    GpsFix fix;
    fix.longitude = record.longitude;
    fix.latitude = record.latitude;
    fix.altitude = record.altitude;
    fix.course = record.course;
    fix.speed = record.speed;
    fix.accuracy = record.accuracy;
    fix.fix_time = record.timestamp * kNanosPerSecond;
    fix.satellite_count = static_cast<std::uint8_t>(record.satellites);
    fix.fix_type = record.fix_type == 1 || record.fix_type == 2
                       ? static_cast<std::uint8_t>(record.fix_type)
                       : 0;
    return fix;
}

}  // namespace voxapp
