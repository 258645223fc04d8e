#include "platform/polled_gps_receiver.hpp"

#include <utility>

namespace voxapp {

PolledGpsReceiver::PolledGpsReceiver(std::chrono::milliseconds max_age, Clock clock)
    : max_age_ns_(std::chrono::duration_cast<std::chrono::nanoseconds>(max_age).count()),
      clock_(std::move(clock)) {}

void PolledGpsReceiver::store(int result, const GpsRecordBytes& record) {
    Reading reading{result, record, clock_()};
    std::lock_guard lock(mutex_);
    latest_ = reading;
}

void PolledGpsReceiver::clear() {
    std::lock_guard lock(mutex_);
    latest_.reset();
}

int PolledGpsReceiver::get(GpsRecordBytes& record) {
    const std::int64_t now = clock_();
    std::lock_guard lock(mutex_);
    if (!latest_ || now - latest_->read_at > max_age_ns_) {
        return kGpsResultBusError;
    }
    record = latest_->record;
    return latest_->result;
}

std::optional<PolledGpsReceiver::Reading> PolledGpsReceiver::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

}  // namespace voxapp
