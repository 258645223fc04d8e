#include "system/io/timer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>

#include <cerrno>
#include <optional>

#include "system/io/event_loop.hpp"
#include "system/io/io_test_support.hpp"

namespace voxapp {
namespace {

constexpr std::int64_t kNanosPerMilli = 1'000'000;

std::int64_t to_ms_floor(const timespec& time) {
    return time.tv_sec * 1000 + time.tv_nsec / kNanosPerMilli;
}

itimerspec settings_of(const Timer& timer) {
    itimerspec setting{};
    EXPECT_EQ(timerfd_gettime(timer.fd(), &setting), 0);
    return setting;
}

Timer make_timer(std::int64_t initial_ms, std::int64_t interval_ms, int& calls) {
    auto timer = Timer::create(initial_ms, interval_ms, [&calls] { ++calls; });
    EXPECT_TRUE(timer.ok());
    return std::move(*timer);
}

EventLoop make_loop() {
    auto loop = EventLoop::create();
    EXPECT_TRUE(loop.ok());
    return std::move(*loop);
}

TEST(Timer, FirstDelayZeroFiresOnTheFirstPollThenFollowsTheInterval) {
    EventLoop loop = make_loop();
    int calls = 0;
    Timer timer = make_timer(0, 60'000, calls);
    ASSERT_TRUE(loop.add(timer).ok());

    ASSERT_TRUE(loop.poll(1000).ok());
    EXPECT_EQ(calls, 1);
    const itimerspec setting = settings_of(timer);
    EXPECT_EQ(setting.it_interval.tv_sec, 60);
    EXPECT_EQ(setting.it_interval.tv_nsec, 0);
    EXPECT_GT(to_ms_floor(setting.it_value), 59'000);
    ASSERT_TRUE(loop.poll(0).ok());
    EXPECT_EQ(calls, 1);
}

TEST(Timer, ArmsOneShotPeriodicAndExplicitForms) {
    int calls = 0;
    const Timer one_shot = make_timer(1500, 0, calls);
    itimerspec setting = settings_of(one_shot);
    EXPECT_EQ(setting.it_interval.tv_sec, 0);
    EXPECT_EQ(setting.it_interval.tv_nsec, 0);
    EXPECT_GE(to_ms_floor(setting.it_value), 1000);
    EXPECT_LE(to_ms_floor(setting.it_value), 1500);

    const Timer periodic = make_timer(250, 250, calls);
    setting = settings_of(periodic);
    EXPECT_EQ(setting.it_interval.tv_sec, 0);
    EXPECT_EQ(setting.it_interval.tv_nsec, 250 * kNanosPerMilli);
    EXPECT_LE(to_ms_floor(setting.it_value), 250);

    const Timer explicit_form = make_timer(2500, 120'000, calls);
    setting = settings_of(explicit_form);
    EXPECT_EQ(setting.it_interval.tv_sec, 120);
    EXPECT_GE(to_ms_floor(setting.it_value), 2000);
    EXPECT_LE(to_ms_floor(setting.it_value), 2500);
    EXPECT_EQ(calls, 0);

    const int flags = fcntl(one_shot.fd(), F_GETFL);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(one_shot.fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(Timer, AccumulatedExpiriesRunTheCallbackOnce) {
    EventLoop loop = make_loop();
    int calls = 0;
    Timer timer = make_timer(1, 1, calls);
    ASSERT_TRUE(loop.add(timer).ok());
    // Let at least ten expiries accumulate before the timer is served.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += 12 * kNanosPerMilli;
    if (until.tv_nsec >= 1'000'000'000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }

    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_EQ(calls, 1);
}

TEST(Timer, OneShotRearmFiresAtOnceLaterOrNever) {
    EventLoop loop = make_loop();
    int calls = 0;
    Timer timer = make_timer(100, 100, calls);
    ASSERT_TRUE(loop.add(timer).ok());

    ASSERT_TRUE(timer.arm_one_shot(2500).ok());
    itimerspec setting = settings_of(timer);
    EXPECT_EQ(setting.it_interval.tv_sec, 0);
    EXPECT_EQ(setting.it_interval.tv_nsec, 0);
    EXPECT_GE(to_ms_floor(setting.it_value), 2000);
    EXPECT_LE(to_ms_floor(setting.it_value), 2500);

    ASSERT_TRUE(arm_timer_one_shot(timer.fd(), 0).ok());
    ASSERT_TRUE(loop.poll(1000).ok());
    EXPECT_EQ(calls, 1);

    ASSERT_TRUE(timer.arm_one_shot(-1).ok());
    setting = settings_of(timer);
    EXPECT_EQ(setting.it_value.tv_sec, 0);
    EXPECT_EQ(setting.it_value.tv_nsec, 0);
    EXPECT_EQ(*loop.poll(0), 0);

    EXPECT_EQ(arm_timer_one_shot(-1, 10).error().code(), EBADF);
}

TEST(Timer, DisarmedAfterBecomingReadableDoesNotRunTheCallback) {
    int calls = 0;
    Timer timer = make_timer(0, 0, calls);
    pollfd ready{timer.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    ASSERT_TRUE(timer.arm_one_shot(-1).ok());
    timer.on_readable();  // as the loop would for a record taken before the disarm
    EXPECT_EQ(calls, 0);
}

TEST(Timer, MovedRegisteredTimerIsServedAndDestructionClosesTheDescriptor) {
    EventLoop loop = make_loop();
    int calls = 0;
    std::optional<Timer> original(make_timer(0, 0, calls));
    ASSERT_TRUE(loop.add(*original).ok());
    const int fd = original->fd();

    std::optional<Timer> moved(std::move(*original));
    original.reset();
    EXPECT_TRUE(moved->registered());
    EXPECT_EQ(moved->event_loop(), &loop);
    EXPECT_EQ(moved->fd(), fd);
    ASSERT_TRUE(loop.poll(1000).ok());
    EXPECT_EQ(calls, 1);

    moved.reset();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Timer, MoveAssignmentReleasesTheTargetsTimer) {
    EventLoop loop = make_loop();
    int first_calls = 0;
    int second_calls = 0;
    Timer first = make_timer(0, 0, first_calls);
    Timer second = make_timer(0, 0, second_calls);
    ASSERT_TRUE(loop.add(first).ok());
    ASSERT_TRUE(loop.add(second).ok());
    const int first_fd = first.fd();

    first = std::move(second);
    EXPECT_EQ(fcntl(first_fd, F_GETFD), -1);
    EXPECT_TRUE(first.registered());
    ASSERT_TRUE(test::poll_until(loop, [&] { return second_calls == 1; }));
    EXPECT_EQ(first_calls, 0);
}

}  // namespace
}  // namespace voxapp
