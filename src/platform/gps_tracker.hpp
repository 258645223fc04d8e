#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/time_point.hpp"
#include "platform/gps_command_sink.hpp"
#include "platform/gps_fix.hpp"
#include "platform/gps_source.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Pushes the router's position to one instrument once a second, as an "MG" command that expires
// after a second: a position that could not be sent in time is dropped, and the next tick brings
// a fresh one.
//
// Threads: start and stop are called by the owner (one thread at a time); each tick runs on the
// tracker's own thread and calls the source's get_fix, the logger and the sink there. Stop
// interrupts the wait between ticks, so it returns as soon as a running tick has finished.
class GpsTracker {
public:
    static constexpr std::chrono::milliseconds kInterval{1000};
    static constexpr std::chrono::seconds kCommandLifetime{1};

    // `sink` must outlive the tracker. `logger` may be null (the component's logging is off).
    // `clock` gives the time the commands' expiry counts on (the instruments' clock).
    GpsTracker(GpsCommandSink& sink, std::shared_ptr<GpsSource> source,
               std::shared_ptr<Logger> logger, std::function<TimePoint()> clock = system_now);
    // Stops the thread.
    ~GpsTracker();
    GpsTracker(const GpsTracker&) = delete;
    GpsTracker& operator=(const GpsTracker&) = delete;

    // Starts the thread; the first tick runs at once. Returns 0, or 1 when already running.
    int start();
    // Stops and joins the thread; nothing when not running.
    void stop();
    bool running() const { return running_; }

private:
    void run();
    void tick();
    void debug(std::string_view text) const;

    GpsCommandSink& sink_;
    std::shared_ptr<GpsSource> source_;
    std::shared_ptr<Logger> logger_;
    std::function<TimePoint()> clock_;

    std::atomic<bool> running_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

// The "MG" command for a fix: "#7,MG," then fix type; seconds, minutes, hours, day, month and
// year of the fix time (UTC); latitude and longitude each as degrees, minutes, seconds,
// thousandths of a second and hemisphere letter; altitude truncated modulo 65536, its first
// decimal digit, and speed × 100; joined by "," and closed by ";".
std::string mg_command_text(const GpsFix& fix);

}  // namespace voxapp
