#include "platform/gps_tracker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gps_fake_receiver.hpp"
#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using namespace std::chrono_literals;
using test::FakeGpsReceiver;
using test::RecordingLogger;

constexpr std::int64_t kFixTime = 1'709'647'629;  // 2024-03-05 14:07:09 UTC
constexpr std::int64_t kSecond = 1'000'000'000;

GpsFix example_fix() {
    GpsFix fix;
    fix.fix_type = 2;
    fix.fix_time = kFixTime * kSecond;
    fix.latitude = 10.5;
    fix.longitude = 20.25;
    fix.altitude = 212.34;
    fix.speed = 1.5;
    return fix;
}

TEST(MgCommandTest, TheExampleFix) {
    EXPECT_EQ(mg_command_text(example_fix()),
              "#7,MG,2,9,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,212,3,150;");
}

TEST(MgCommandTest, AnglesKeepTheirSignBelowTheDegreesAndNeedWholeDegreesForNorthOrEast) {
    GpsFix fix = example_fix();
    fix.latitude = -33.5;
    fix.longitude = 0.5;
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,33,-30,0,0,S,0,30,0,0,W,212,3,150;");
    fix.latitude = 0.5;
    fix.longitude = -0.015625;  // 56.25 seconds of arc
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,0,30,0,0,S,0,0,-56,-250,W,212,3,150;");
    fix.latitude = 1.0;
    fix.longitude = -180.0;
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,1,0,0,0,N,180,0,0,0,W,212,3,150;");
}

TEST(MgCommandTest, AltitudeWrapsToSixteenBitsAndSpeedIsInHundredths) {
    GpsFix fix = example_fix();
    fix.altitude = -5.0;
    fix.speed = 0.129;
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,65531,0,12;");
    fix.altitude = -5.75;
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,65531,7,12;");
    fix.altitude = 65536.25 + 100.0;
    fix.speed = 0.0;
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,100,2,0;");
    // Not a number: the fields read 0 rather than undefined values.
    fix.altitude = std::nan("");
    fix.speed = std::nan("");
    EXPECT_EQ(mg_command_text(fix), "#7,MG,2,9,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,0,0,0;");
}

// Collects the tracker's commands and lets the test wait for them.
class RecordingSink : public GpsCommandSink {
public:
    struct Submitted {
        std::string text;
        TimePoint expiry;
        std::chrono::steady_clock::time_point at;
    };

    void submit_command(std::string text, TimePoint expiry) override {
        std::lock_guard lock(mutex_);
        submitted_.push_back({std::move(text), expiry, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }

    // The first `count` commands, or fewer when they do not come within `bound`.
    std::vector<Submitted> wait_for(std::size_t count, std::chrono::milliseconds bound = 5s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, bound, [&] { return submitted_.size() >= count; });
        return submitted_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return submitted_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Submitted> submitted_;
};

TimePoint fixed_wall_clock() {
    return 1'800'000'000 * kSecond;
}

class GpsTrackerTest : public ::testing::Test {
protected:
    GpsTrackerTest() {
        GpsRecord record{20.25, 10.5, 212.34, 0.0, 1.5, 2.0, 7, 2, kFixTime - 1};
        receiver_->set(record);
        receiver_->advance_on_every_get();
        source_ = GpsSource::create(receiver_).value();
    }

    std::shared_ptr<FakeGpsReceiver> receiver_ = std::make_shared<FakeGpsReceiver>();
    std::shared_ptr<GpsSource> source_;
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    RecordingSink sink_;
};

TEST_F(GpsTrackerTest, SubmitsOnceASecondWithOneSecondExpiryAndStopsAtOnce) {
    GpsTracker tracker(sink_, source_, logger_, fixed_wall_clock);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(tracker.start(), 0);
    EXPECT_EQ(tracker.start(), 1);

    auto submitted = sink_.wait_for(2);
    ASSERT_EQ(submitted.size(), 2u);
    // The first tick runs at once; the source saw kFixTime at creation, the tick kFixTime + 1.
    EXPECT_LT(submitted[0].at - started, 500ms);
    GpsFix expected = example_fix();
    expected.fix_time = (kFixTime + 1) * kSecond;
    EXPECT_EQ(submitted[0].text, mg_command_text(expected));
    EXPECT_EQ(submitted[0].text, "#7,MG,2,10,7,14,5,3,2024,10,30,0,0,N,20,15,0,0,E,212,3,150;");
    EXPECT_EQ(submitted[0].expiry, fixed_wall_clock() + kSecond);
    const auto gap = submitted[1].at - submitted[0].at;
    EXPECT_GE(gap, 900ms);
    EXPECT_LT(gap, 1500ms);

    // Stop wakes the thread out of its wait instead of letting the interval run out.
    const auto stopping = std::chrono::steady_clock::now();
    tracker.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 500ms);
    EXPECT_FALSE(tracker.running());
    const std::size_t after_stop = sink_.count();
    EXPECT_EQ(sink_.wait_for(after_stop + 1, 1200ms).size(), after_stop);

    const auto texts = logger_->texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts.front(), "Starting GPS tracker");
    EXPECT_EQ(texts[1],
              "GPS: 10.500000;20.250000;212.340000;0.000000;1.500000;2.000000;2024-03-05 "
              "14:07:10;7;2");
    EXPECT_EQ(texts.back(), "Stopping GPS tracker");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Starting GPS tracker"), 1);
    for (const auto& [level, text] : logger_->lines()) {
        EXPECT_EQ(level, LogLevel::debug) << text;
    }

    // It can be started again.
    ASSERT_EQ(tracker.start(), 0);
    EXPECT_EQ(sink_.wait_for(after_stop + 1).size(), after_stop + 1);
}

TEST_F(GpsTrackerTest, AFailedReadIsLoggedAndTheNextTickTriesAgain) {
    receiver_->set_result(kGpsResultBusError);
    std::mutex mutex;
    std::condition_variable read;
    int reads = 0;
    receiver_->on_get([&](int) {
        std::lock_guard lock(mutex);
        ++reads;
        read.notify_all();
    });
    GpsTracker tracker(sink_, source_, logger_);
    ASSERT_EQ(tracker.start(), 0);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(read.wait_for(lock, 5s, [&] { return reads >= 1; }));
    }
    // The next tick, a second later, finds the receiver recovered.
    receiver_->set_result(kGpsResultOk);
    ASSERT_EQ(sink_.wait_for(1).size(), 1u);
    tracker.stop();

    EXPECT_TRUE(logger_->contains(
        "Failed to get GPS data: Couldn't get gps data due to a UBUS communication error."));
    for (const auto& [level, text] : logger_->lines()) {
        if (text.starts_with("Failed")) {
            EXPECT_EQ(level, LogLevel::error);
        }
    }
}

TEST_F(GpsTrackerTest, DestructionStopsTheThreadAndNoLoggerIsNeeded) {
    const auto started = std::chrono::steady_clock::now();
    {
        GpsTracker tracker(sink_, source_, nullptr);
        ASSERT_EQ(tracker.start(), 0);
        ASSERT_EQ(sink_.wait_for(1).size(), 1u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
    GpsTracker never_started(sink_, source_, nullptr);
    never_started.stop();
}

TEST_F(GpsTrackerTest, TrackersShareOneSourceWithOtherReaders) {
    RecordingSink other_sink;
    GpsTracker first(sink_, source_, logger_);
    GpsTracker second(other_sink, source_, logger_);
    ASSERT_EQ(first.start(), 0);
    ASSERT_EQ(second.start(), 0);
    // The main loop reads the same source for its own replies meanwhile.
    for (int i = 0; i < 50; ++i) {
        (void)source_->get_fix();
        std::this_thread::yield();
    }
    EXPECT_EQ(sink_.wait_for(2).size(), 2u);
    EXPECT_EQ(other_sink.wait_for(2).size(), 2u);
    first.stop();
    second.stop();
}

}  // namespace
}  // namespace voxapp
