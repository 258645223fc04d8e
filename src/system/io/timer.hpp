#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <functional>

#include "core/result.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// A timer on a timerfd (monotonic clock, non-blocking, close-on-exec), served by the event loop
// like any readable descriptor. Durations are milliseconds.
//
// The callback runs on the loop's thread, inside EventLoop::poll, once for each time the timer
// is served with at least one expiry pending, however many expiries have accumulated. It may
// re-arm the timer, remove it or any other handler; it must not destroy or move the Timer that
// is running it.
//
// The caller adds the timer to the loop and owns that registration (see FdHandler). Destroying
// the timer removes it from its loop and closes the descriptor.
class Timer final : public FdHandler {
public:
    using Callback = std::function<void()>;

    // First expiry after initial_ms (0: at once, so the first poll serves it), then every
    // interval_ms (0: once only). The usual forms are one-shot (d, 0), periodic (i, i) and
    // explicit (d, i). Error: errno of timerfd_create or timerfd_settime (EINVAL for a negative
    // duration).
    static Result<Timer> create(std::int64_t initial_ms, std::int64_t interval_ms,
                                Callback callback);

    Timer(Timer&& other) noexcept;
    Timer& operator=(Timer&& other) noexcept;
    ~Timer() override;

    // Re-arms for a single expiry; see arm_timer_one_shot.
    Status arm_one_shot(std::int64_t delay_ms);

    int fd() const override { return fd_; }
    std::uint32_t events() const override { return EPOLLIN; }
    // Reads the expiry count and runs the callback when at least one expiry was pending.
    void on_readable() override;
    void on_writable() override {}
    void on_error() override {}

private:
    Timer(int fd, Callback callback);
    void close_fd() noexcept;

    int fd_ = -1;
    Callback callback_;
};

// Re-arms the timer descriptor `timer_fd` without interval: a positive delay_ms gives one
// expiry after that many milliseconds, 0 one expiry at once (after 1 ns), a negative value
// disarms it. Pending expiries are discarded either way. Error: errno of timerfd_settime.
Status arm_timer_one_shot(int timer_fd, std::int64_t delay_ms);

}  // namespace voxapp
