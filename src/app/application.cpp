#include "app/application.hpp"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "app/heartbeat.hpp"

namespace voxapp {

namespace {

// Written by the stop signal handler, read by the event loop; made once and never closed, so the
// handler may run on any thread at any time, also while an application is being destroyed.
std::atomic<int> signal_wake_fd{-1};
// Set with the wake, so the loop ends after the pass in which the signal came.
std::atomic<bool> stop_signal_seen{false};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the descriptor");
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flag");

std::int64_t monotonic_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleep_10_ms() {
    timespec remaining{0, 10'000'000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

Application::Clock Application::system_clock() {
    return {[] {
                return static_cast<std::int64_t>(
                    std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count());
            },
            monotonic_now_ns};
}

Application::Application(std::shared_ptr<Logger> logger, EventLoop& event_loop, PassWork pass_work,
                         Heartbeat heartbeat, Clock clock)
    : logger_(std::move(logger)),
      event_loop_(event_loop),
      pass_work_(std::move(pass_work)),
      heartbeat_(std::move(heartbeat)),
      clock_(std::move(clock)) {}

Application::~Application() = default;

int Application::SignalWatch::fd() const {
    return signal_wake_fd.load();
}

std::uint32_t Application::SignalWatch::events() const {
    return EPOLLIN;
}

void Application::SignalWatch::on_readable() {
    std::uint64_t count = 0;
    (void)read(fd(), &count, sizeof count);
    application_.stop_signalled_.store(true, std::memory_order_relaxed);
    application_.stop();
}

void Application::install_signal_handlers() {
    if (signal_wake_fd.load() < 0) {
        signal_wake_fd.store(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    }
    const int fd = signal_wake_fd.load();
    if (fd >= 0) {
        // A signal meant for an earlier application of this process is not this one's stop.
        std::uint64_t stale = 0;
        (void)read(fd, &stale, sizeof stale);
        if (!signal_watch_.registered()) {
            (void)event_loop_.add(signal_watch_);
        }
    }
    stop_signal_seen.store(false);
    signals_installed_ = true;
    struct sigaction action {};
    action.sa_handler = &Application::on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void Application::on_stop_signal(int) {
    // Only the wake here: logging takes locks and allocates, so the main loop writes the line.
    // The descriptor stays readable until the loop serves it, so a signal that lands just before
    // the loop's wait is not noticed only when the wait ends.
    const int saved_errno = errno;
    stop_signal_seen.store(true, std::memory_order_relaxed);
    const int fd = signal_wake_fd.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        (void)write(fd, &one, sizeof one);
    }
    errno = saved_errno;
}

void Application::beat() {
    if (!write_heartbeat_file(heartbeat_.path, last_beat_)) {
        logger_->error("Error writing heartbeat file: " + heartbeat_.path);
    }
}

int Application::run() {
    const bool heartbeat_enabled = heartbeat_.interval_seconds > 0 && !heartbeat_.path.empty();
    if (heartbeat_enabled) {
        last_beat_ = clock_.epoch_seconds();
        beat();
    }
    std::int64_t previous_pass = clock_.monotonic_ns();
    std::int64_t timeout_ms = 0;
    const auto signalled = [this] {
        return signals_installed_ && stop_signal_seen.load(std::memory_order_relaxed);
    };
    while (running_.load(std::memory_order_relaxed) && !signalled()) {
        if (!event_loop_.poll(timeout_ms)) {
            // A loop that cannot wait must not spin.
            sleep_10_ms();
        }

        const std::int64_t now = clock_.monotonic_ns();
        float elapsed = static_cast<float>(static_cast<double>(now - previous_pass) / 1e9);
        if (elapsed < 0) {
            elapsed = 0;
        }
        const Wait devices = pass_work_ ? pass_work_(elapsed) : std::nullopt;

        std::optional<std::int64_t> heartbeat_due_ms;
        if (heartbeat_enabled) {
            const std::int64_t seconds = clock_.epoch_seconds();
            if (seconds - last_beat_ > heartbeat_.interval_seconds) {
                last_beat_ = seconds;
                beat();
            }
            // Due once the whole-second count passes the interval: at the start of the second
            // after it. Waiting whole seconds from inside the current second wakes within that
            // second, so the file gets the same time stamp as if the loop had kept checking.
            heartbeat_due_ms =
                std::max<std::int64_t>(0, last_beat_ + heartbeat_.interval_seconds + 1 - seconds) *
                1000;
        }
        timeout_ms = next_poll_timeout(devices, heartbeat_due_ms);
        previous_pass = now;
    }
    if (stop_signalled_.load(std::memory_order_relaxed) || signalled()) {
        logger_->info("Received stop signal, stopping application...");
    }
    logger_->info("Done Application run...");
    return 0;
}

std::int64_t next_poll_timeout(Application::Wait devices,
                               std::optional<std::int64_t> heartbeat_due_ms) {
    std::int64_t timeout = -1;
    if (devices) {
        timeout = std::max<std::int64_t>(0, devices->count());
    }
    if (heartbeat_due_ms && (timeout < 0 || *heartbeat_due_ms < timeout)) {
        timeout = std::max<std::int64_t>(0, *heartbeat_due_ms);
    }
    return timeout;
}

}  // namespace voxapp
