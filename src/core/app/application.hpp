#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "system/io/event_loop.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// The daemon's main loop on the main thread: each pass polls the event loop for at most 10 ms,
// lets the devices do their work with the seconds elapsed since the previous pass, writes the
// heartbeat when due and sleeps 10 ms; until a stop is requested.
class Application {
public:
    // One pass of device work, given the seconds since the previous pass.
    using PassWork = std::function<void(float elapsed_seconds)>;

    // Time sources; tests replace them to step through heartbeat intervals.
    struct Clock {
        std::function<std::int64_t()> epoch_seconds;  // system clock, whole seconds
        std::function<std::int64_t()> monotonic_ns;
    };
    static Clock system_clock();

    struct Heartbeat {
        std::string path;
        std::int64_t interval_seconds = 0;  // enabled when above 0 and the path is not empty
    };

    Application(std::shared_ptr<Logger> logger, EventLoop& event_loop, PassWork pass_work,
                Heartbeat heartbeat, Clock clock = system_clock());
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs passes until stopped, then logs "Done Application run..." and returns the exit
    // code, 0.
    int run();

    // Ends the current pass's loop; safe from any thread and from a signal handler.
    void stop() { running_.store(false, std::memory_order_relaxed); }

    // Routes SIGINT and SIGTERM of the process to this application's stop. The last installed
    // application receives them; its destruction unhooks it.
    void install_signal_handlers();

private:
    static void on_stop_signal(int signal_number);
    void beat();

    std::shared_ptr<Logger> logger_;
    EventLoop& event_loop_;
    PassWork pass_work_;
    Heartbeat heartbeat_;
    Clock clock_;
    std::atomic<bool> running_{true};
    std::atomic<bool> stop_signalled_{false};
    std::int64_t last_beat_ = 0;

    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler writes the flags");
};

}  // namespace voxapp
