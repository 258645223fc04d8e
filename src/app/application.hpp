#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "system/io/event_loop.hpp"
#include "system/io/fd_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// The daemon's main loop on the main thread: each pass waits in the event loop for work (an
// event, a due timer, a wake from another thread or a stop signal), lets the devices do their
// work with the seconds elapsed since the previous pass and writes the heartbeat when due; until
// a stop is requested. The wait is bounded by what the devices ask for (the 10 ms cadence of an
// exchange in flight, at once when they have more to do) and by the next heartbeat; with neither,
// the loop sleeps until an event comes.
class Application {
public:
    // How long the next pass may wait for an event; nullopt: without limit.
    using Wait = std::optional<std::chrono::milliseconds>;
    // One pass of device work, given the seconds since the previous pass; returns how long the
    // devices can wait for the next pass.
    using PassWork = std::function<Wait(float elapsed_seconds)>;

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

    // Ends the loop after the current pass, waking it if it waits; safe from any thread and
    // from a signal handler.
    void stop() {
        running_.store(false, std::memory_order_relaxed);
        event_loop_.wake();
    }

    // Routes SIGINT and SIGTERM of the process to this application's stop. The last installed
    // application receives them; its destruction unhooks it.
    void install_signal_handlers();

private:
    // The loop's side of the stop signals: a descriptor that lives as long as the process, so
    // a handler running late on another thread never touches an object that is gone.
    class SignalWatch final : public FdHandler {
    public:
        explicit SignalWatch(Application& application) : application_(application) {}
        ~SignalWatch() override { unregister(); }
        int fd() const override;
        std::uint32_t events() const override;
        void on_readable() override;
        void on_writable() override {}
        void on_error() override {}

    private:
        Application& application_;
    };

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
    bool signals_installed_ = false;  // whether the process's stop signals are this one's
    SignalWatch signal_watch_{*this};
};

// The event loop's timeout for the next pass in milliseconds: the shorter of the devices' wait
// and the time until the heartbeat is due (either may be absent); -1 waits without limit.
std::int64_t next_poll_timeout(Application::Wait devices,
                               std::optional<std::int64_t> heartbeat_due_ms);

}  // namespace voxapp
