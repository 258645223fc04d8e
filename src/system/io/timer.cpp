#include "system/io/timer.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace voxapp {
namespace {

timespec to_timespec(std::int64_t ms) {
    timespec time{};
    time.tv_sec = static_cast<time_t>(ms / 1000);
    time.tv_nsec = static_cast<long>((ms % 1000) * 1'000'000);
    return time;
}

// An all-zero it_value disarms a timerfd, so "at once" has to be the smallest non-zero delay.
timespec first_expiry(std::int64_t ms) {
    return ms == 0 ? timespec{0, 1} : to_timespec(ms);
}

}  // namespace

Result<Timer> Timer::create(std::int64_t initial_ms, std::int64_t interval_ms, Callback callback) {
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    itimerspec setting{};
    setting.it_interval = to_timespec(interval_ms);
    setting.it_value = first_expiry(initial_ms);
    if (timerfd_settime(fd, 0, &setting, nullptr) != 0) {
        const int error = errno;
        close(fd);
        return Error::from_errno(error);
    }
    return Timer(fd, std::move(callback));
}

Timer::Timer(int fd, Callback callback) : fd_(fd), callback_(std::move(callback)) {}

Timer::Timer(Timer&& other) noexcept
    : FdHandler(std::move(other)),
      fd_(std::exchange(other.fd_, -1)),
      callback_(std::move(other.callback_)) {}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        unregister();
        close_fd();
        FdHandler::operator=(std::move(other));
        fd_ = std::exchange(other.fd_, -1);
        callback_ = std::move(other.callback_);
    }
    return *this;
}

Timer::~Timer() {
    unregister();
    close_fd();
}

void Timer::close_fd() noexcept {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

Status Timer::arm_one_shot(std::int64_t delay_ms) {
    return arm_timer_one_shot(fd_, delay_ms);
}

void Timer::on_readable() {
    std::uint64_t expiries = 0;
    // A re-arm between the readiness report and this read resets the count to nothing; the
    // timer has not expired then.
    if (read(fd_, &expiries, sizeof expiries) == sizeof expiries && callback_) {
        callback_();
    }
}

Status arm_timer_one_shot(int timer_fd, std::int64_t delay_ms) {
    itimerspec setting{};
    if (delay_ms >= 0) {
        setting.it_value = first_expiry(delay_ms);
    }
    if (timerfd_settime(timer_fd, 0, &setting, nullptr) != 0) {
        return Error::from_errno(errno);
    }
    return {};
}

}  // namespace voxapp
