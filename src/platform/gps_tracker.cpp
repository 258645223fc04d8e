#include "platform/gps_tracker.hpp"

#include <time.h>

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace voxapp {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Truncation toward zero that stays defined for any double: NaN gives 0, and values beyond
// the integer range stick to its ends.
std::int64_t truncate(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kLimit = 9.2e18;
    if (value >= kLimit) {
        return static_cast<std::int64_t>(kLimit);
    }
    if (value <= -kLimit) {
        return -static_cast<std::int64_t>(kLimit);
    }
    return static_cast<std::int64_t>(value);
}

void append_field(std::string& text, std::int64_t value) {
    text += std::to_string(value);
    text += ',';
}

// Degrees, minutes, seconds and thousandths of a second; the parts after the degrees keep the
// sign of the angle. The letter is `positive` only when the whole degrees are above 0.
void append_angle(std::string& text, double angle, char positive, char other) {
    const double degrees = std::trunc(angle);
    const double minutes = (angle - degrees) * 60.0;
    const double whole_minutes = std::trunc(minutes);
    const double seconds = (minutes - whole_minutes) * 60.0;
    const double whole_seconds = std::trunc(seconds);
    append_field(text, std::llabs(truncate(degrees)));
    append_field(text, truncate(whole_minutes));
    append_field(text, truncate(whole_seconds));
    append_field(text, truncate((seconds - whole_seconds) * 1000.0));
    text += degrees > 0 ? positive : other;
    text += ',';
}

}  // namespace

std::string mg_command_text(const GpsFix& fix) {
    std::string text = "#7,MG,";
    append_field(text, fix.fix_type);

    const time_t seconds = static_cast<time_t>(fix.fix_time / kNanosPerSecond);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    append_field(text, utc.tm_sec);
    append_field(text, utc.tm_min);
    append_field(text, utc.tm_hour);
    append_field(text, utc.tm_mday);
    append_field(text, utc.tm_mon + 1);
    append_field(text, static_cast<std::int64_t>(utc.tm_year) + 1900);

    append_angle(text, fix.latitude, 'N', 'S');
    append_angle(text, fix.longitude, 'E', 'W');

    // The instrument takes the altitude as an unsigned 16-bit number: -5 arrives as 65531.
    double altitude =
        std::isfinite(fix.altitude) ? std::fmod(std::trunc(fix.altitude), 65536.0) : 0.0;
    if (altitude < 0) {
        altitude += 65536.0;
    }
    append_field(text, truncate(altitude));
    const double tenths = std::isfinite(fix.altitude)
                              ? std::fmod(std::trunc(std::fabs(fix.altitude) * 10.0), 10.0)
                              : 0.0;
    append_field(text, truncate(tenths));
    text += std::to_string(truncate(fix.speed * 100.0));
    text += ';';
    return text;
}

GpsTracker::GpsTracker(GpsCommandSink& sink, std::shared_ptr<GpsSource> source,
                       std::shared_ptr<Logger> logger, std::function<TimePoint()> clock)
    : sink_(sink),
      source_(std::move(source)),
      logger_(std::move(logger)),
      clock_(std::move(clock)) {
    assert(source_ != nullptr && clock_);
}

GpsTracker::~GpsTracker() {
    stop();
}

int GpsTracker::start() {
    if (running_) {
        return 1;
    }
    debug("Starting GPS tracker");
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void GpsTracker::stop() {
    if (!running_) {
        return;
    }
    debug("Stopping GPS tracker");
    {
        // Under the mutex, so the thread cannot miss the wake-up between its check and its wait.
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void GpsTracker::run() {
    while (running_) {
        const auto started = std::chrono::steady_clock::now();
        tick();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        std::unique_lock lock(mutex_);
        if (running_ && took < kInterval) {
            wake_.wait_for(lock, kInterval - took, [this] { return !running_; });
        }
    }
}

void GpsTracker::tick() {
    auto fix = source_->get_fix();
    if (!fix.ok()) {
        if (logger_) {
            logger_->error("Failed to get GPS data: " + fix.error().message_text());
        }
        return;
    }
    debug("GPS: " + gps_fix_text(*fix));
    const TimePoint expiry =
        clock_() + std::chrono::duration_cast<std::chrono::nanoseconds>(kCommandLifetime).count();
    sink_.submit_command(mg_command_text(*fix), expiry);
}

void GpsTracker::debug(std::string_view text) const {
    if (logger_) {
        logger_->debug(text);
    }
}

}  // namespace voxapp
