#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/gps_receiver.hpp"

namespace voxapp {

// The GPS library's last answer, read off the main loop by the bus's worker, handed to whoever
// asks without touching the bus: a wedged bus can hold up the worker but never a GP reply. An
// answer older than the age limit counts as a bus failure, which the GP replies turn into their
// no-fix form.
//
// Threads: store and clear on the bus worker; get and latest from any thread.
class PolledGpsReceiver final : public GpsReceiver {
public:
    // Monotonic nanoseconds.
    using Clock = std::function<std::int64_t()>;

    struct Reading {
        int result = kGpsResultBusError;
        GpsRecordBytes record{};
        std::int64_t read_at = 0;  // the clock's time of the read
    };

    explicit PolledGpsReceiver(std::chrono::milliseconds max_age, Clock clock);

    // The library's answer `result` with its record, read just now.
    void store(int result, const GpsRecordBytes& record);
    // The bus went away: nothing is current until the next store.
    void clear();

    // The last stored answer while it is younger than the age limit, else kGpsResultBusError.
    int get(GpsRecordBytes& record) override;
    // The last stored answer, however old; nullopt before the first or after clear.
    std::optional<Reading> latest() const;

private:
    const std::int64_t max_age_ns_;
    const Clock clock_;
    mutable std::mutex mutex_;
    std::optional<Reading> latest_;
};

}  // namespace voxapp
