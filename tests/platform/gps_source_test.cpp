#include "platform/gps_source.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "gps_fake_receiver.hpp"

namespace voxapp {
namespace {

using test::FakeGpsReceiver;

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kFixTime = 1'709'647'629;

GpsRecord record_at(std::int64_t timestamp) {
    return GpsRecord{20.25, 10.5, 212.34, 90.0, 1.5, 3.9, 9, 2, timestamp};
}

class GpsSourceTest : public ::testing::Test {
protected:
    std::shared_ptr<GpsSource> make_source() {
        return GpsSource::create(receiver_, [this] { return now_; }).value();
    }

    std::shared_ptr<FakeGpsReceiver> receiver_ =
        std::make_shared<FakeGpsReceiver>(record_at(kFixTime));
    std::int64_t now_ = 5'000 * kMs;
};

void expect_error(const Result<GpsFix>& fix, std::string_view message) {
    ASSERT_FALSE(fix.ok());
    EXPECT_EQ(fix.error().message(), message);
}

TEST_F(GpsSourceTest, AcceptsAFixOnlyWhileTheTimestampKeepsMoving) {
    auto source = make_source();
    // The receiver has not moved since the source was made.
    expect_error(source->get_fix(), "No current GPS data available.");

    receiver_->set_timestamp(kFixTime + 1);
    auto fix = source->get_fix();
    ASSERT_TRUE(fix.ok());
    EXPECT_EQ(fix->fix_time, (kFixTime + 1) * 1'000'000'000);

    now_ += 500 * kMs;
    EXPECT_TRUE(source->get_fix().ok());
    now_ += 500 * kMs;  // exactly one second since the change
    EXPECT_TRUE(source->get_fix().ok());
    now_ += 1;
    expect_error(source->get_fix(), "No current GPS data available.");
    now_ += 10'000 * kMs;
    expect_error(source->get_fix(), "No current GPS data available.");

    receiver_->set_timestamp(kFixTime + 2);
    EXPECT_TRUE(source->get_fix().ok());
}

TEST_F(GpsSourceTest, AFailedFirstReadLeavesNothingToCompareWith) {
    receiver_->set_result(kGpsResultLibraryError);
    auto source = make_source();
    receiver_->set_result(kGpsResultOk);
    EXPECT_TRUE(source->get_fix().ok());
}

TEST_F(GpsSourceTest, ReportsReceiverFailuresAndMissingData) {
    auto source = make_source();
    receiver_->set_timestamp(kFixTime + 1);
    receiver_->set_result(kGpsResultBusError);
    expect_error(source->get_fix(), "Couldn't get gps data due to a UBUS communication error.");
    receiver_->set_result(kGpsResultLibraryError);
    expect_error(source->get_fix(), "Couldn't get gps data due to a LibGPS error.");
    // Any other result is success.
    receiver_->set_result(7);
    EXPECT_TRUE(source->get_fix().ok());

    receiver_->set_result(kGpsResultOk);
    receiver_->set_timestamp(0);
    expect_error(source->get_fix(), "No current GPS data available.");
    // A time a time point cannot hold is garbage.
    receiver_->set_timestamp(std::numeric_limits<std::int64_t>::max());
    expect_error(source->get_fix(), "No current GPS data available.");
}

TEST_F(GpsSourceTest, RejectsImpossibleCoordinatesEvenWhenFresh) {
    auto source = make_source();
    std::int64_t timestamp = kFixTime;
    const auto fix_with = [&](double latitude, double longitude) {
        GpsRecord record = record_at(++timestamp);
        record.latitude = latitude;
        record.longitude = longitude;
        receiver_->set(record);
        return source->get_fix();
    };
    constexpr std::string_view kLatitude = "Latitude should be between -90.0 and 90.0";
    constexpr std::string_view kLongitude = "Longitude should be between -180.0 and 180.0";
    expect_error(fix_with(91.0, 0.0), kLatitude);
    expect_error(fix_with(-90.001, 0.0), kLatitude);
    expect_error(fix_with(std::nan(""), 0.0), kLatitude);
    expect_error(fix_with(91.0, 181.0), kLatitude);
    expect_error(fix_with(0.0, 180.5), kLongitude);
    expect_error(fix_with(0.0, -180.001), kLongitude);
    expect_error(fix_with(0.0, std::nan("")), kLongitude);
    EXPECT_TRUE(fix_with(90.0, -180.0).ok());
    EXPECT_TRUE(fix_with(-90.0, 180.0).ok());
}

TEST_F(GpsSourceTest, CopiesTheRecordAndMapsTheFixType) {
    auto source = make_source();
    receiver_->set(record_at(kFixTime + 1));
    auto fix = source->get_fix();
    ASSERT_TRUE(fix.ok());
    EXPECT_EQ(*fix,
              (GpsFix{20.25, 10.5, 212.34, 90.0, 1.5, 3.9, (kFixTime + 1) * 1'000'000'000, 9, 2}));

    const auto fix_type_for = [&](std::int32_t library_value, std::int64_t timestamp) {
        GpsRecord record = record_at(timestamp);
        record.fix_type = library_value;
        receiver_->set(record);
        auto result = source->get_fix();
        EXPECT_TRUE(result.ok());
        return result.ok() ? static_cast<int>(result->fix_type) : -1;
    };
    EXPECT_EQ(fix_type_for(1, kFixTime + 2), 1);
    EXPECT_EQ(fix_type_for(0, kFixTime + 3), 0);
    EXPECT_EQ(fix_type_for(3, kFixTime + 4), 0);
    EXPECT_EQ(fix_type_for(-1, kFixTime + 5), 0);
    EXPECT_EQ(fix_type_for(258, kFixTime + 6), 0);
}

}  // namespace
}  // namespace voxapp
