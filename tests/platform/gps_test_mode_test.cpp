#include "platform/gps_test_mode.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "gps_fake_receiver.hpp"

namespace voxapp {
namespace {

using test::FakeGpsReceiver;

std::string interrupt_line(std::int64_t seconds, int signal) {
    char buffer[96];
    const std::size_t length = format_interrupt_line(seconds, signal, buffer);
    return std::string(buffer, length);
}

TEST(GpsTestModeTest, InterruptLineMatchesTheLogClock) {
    for (std::int64_t seconds : {0LL, 951'782'400LL, 1'709'164'799LL, 1'709'647'629LL,
                                 4'107'542'400LL, 946'684'799LL, 7'258'118'399LL}) {
        EXPECT_EQ(interrupt_line(seconds, SIGINT),
                  format_time_point(seconds * 1'000'000'000, "%Y-%m-%d %H:%M:%S") +
                      " Interrupt (SIGINT) signal received - 2\n")
            << seconds;
    }
}

TEST(GpsTestModeTest, FixLineShowsLocalTimeMillisecondsAndFourValues) {
    const TimePoint now = 1'709'647'629'045'900'000;
    GpsFix fix;
    fix.accuracy = 3.99;
    fix.latitude = -10.5;
    fix.longitude = 20.1234567;
    fix.speed = 1.005;
    EXPECT_EQ(gps_test_fix_line(now, fix), format_local_time_point(now, "%Y-%m-%d %H:%M:%S") +
                                               ".045,3,-10.500000,20.123457,1.00\n");
    fix.accuracy = -2.5;
    EXPECT_TRUE(gps_test_fix_line(now, fix).find(".045,-2,") != std::string::npos);
}

std::string read_all(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[256];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
    }
    return text;
}

TEST(GpsTestModeTest, PrintsEachSecondUntilInterrupted) {
    auto receiver = std::make_shared<FakeGpsReceiver>(
        GpsRecord{20.25, 10.5, 212.0, 0.0, 1.5, 4.2, 7, 2, 1'709'647'629});
    receiver->advance_on_every_get();
    // Call 1 is the source's first look, 2 the first second's read; during call 3 the user
    // presses Ctrl-C and that read fails.
    receiver->on_get([&receiver](int call) {
        if (call == 2) {
            receiver->set_result(kGpsResultBusError);
        }
        if (call == 3) {
            std::raise(SIGINT);
        }
    });
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const auto previous = std::signal(SIGINT, SIG_IGN);

    const int exit_code = run_gps_test(
        [&] {
            return Result<std::shared_ptr<GpsReceiver>>(std::shared_ptr<GpsReceiver>(receiver));
        },
        out);

    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(std::signal(SIGINT, previous), SIG_IGN);  // the old handler is back
    EXPECT_EQ(receiver->calls(), 3);
    const std::string output = read_all(out);
    std::fclose(out);

    const std::size_t first_end = output.find('\n');
    ASSERT_NE(first_end, std::string::npos) << output;
    const std::string first = output.substr(0, first_end + 1);
    EXPECT_TRUE(first.ends_with(",4,10.500000,20.250000,1.50\n")) << first;
    EXPECT_EQ(first.size(),
              std::string("2024-03-05 14:07:09.123,4,10.500000,20.250000,1.50\n").size())
        << first;
    const std::string rest = output.substr(first_end + 1);
    constexpr std::string_view kInterrupt = " Interrupt (SIGINT) signal received - 2\n";
    const std::size_t interrupt = rest.find(kInterrupt);
    ASSERT_EQ(interrupt, 19u) << rest;
    EXPECT_EQ(rest.substr(interrupt + kInterrupt.size()),
              "An error occured while getting gps data: Couldn't get gps data due to a UBUS "
              "communication error.\n");
}

TEST(GpsTestModeTest, GoesOnWithoutTheBus) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const auto previous = std::signal(SIGINT, SIG_IGN);
    // Interrupted before the first second is up.
    const int exit_code = run_gps_test(
        [] {
            std::raise(SIGINT);
            return Result<std::shared_ptr<GpsReceiver>>(Error::fixed("Failed to connect to ubus."));
        },
        out);
    std::signal(SIGINT, previous);
    EXPECT_EQ(exit_code, 0);
    const std::string output = read_all(out);
    std::fclose(out);
    EXPECT_TRUE(
        output.ends_with(" Interrupt (SIGINT) signal received - 2\nFailed to connect to ubus."))
        << output;
}

}  // namespace
}  // namespace voxapp
