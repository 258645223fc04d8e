#include "platform/time_zone_service.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "system/events/system_events.hpp"

namespace voxapp {
namespace {

class FakeBackend : public TimeZoneBackend {
public:
    Result<std::string> posix_time_zone(std::string_view name) const override {
        return "POSIX:" + std::string(name);
    }
    Status set_time_zone(std::string_view name) override {
        std::lock_guard lock(mutex);
        set_calls.emplace_back(name);
        return set_result;
    }
    Result<std::string> current_time_zone() override { return current; }

    std::mutex mutex;
    Result<std::string> current = std::string("Europe/Berlin");
    Status set_result;
    std::vector<std::string> set_calls;
};

class TimeZoneServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher = *EventDispatcher::create();
        dispatcher->subscribe<TimeZoneChanged>([this](const TimeZoneChanged& event) {
            std::lock_guard lock(events_mutex);
            events.push_back(event.time_zone);
        });
    }

    std::unique_ptr<TimeZoneService> make_service() {
        auto service = TimeZoneService::create(backend, dispatcher);
        EXPECT_TRUE(service.ok());
        return std::move(*service);
    }

    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::shared_ptr<EventDispatcher> dispatcher;
    std::mutex events_mutex;
    std::vector<std::string> events;
};

TEST_F(TimeZoneServiceTest, StartsWithTheBackendsZoneOrEmpty) {
    EXPECT_EQ(*make_service()->current_time_zone(), "Europe/Berlin");
    backend->current = Error::fixed("UCI option not found for path: system.@system[0].zoneName");
    EXPECT_EQ(*make_service()->current_time_zone(), "");
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(*make_service()->posix_time_zone("Asia/Tokyo"), "POSIX:Asia/Tokyo");
}

TEST_F(TimeZoneServiceTest, ChangeToTheCurrentZoneDoesNothing) {
    auto service = make_service();
    EXPECT_TRUE(service->change_time_zone("Europe/Berlin").ok());
    EXPECT_TRUE(backend->set_calls.empty());
    EXPECT_TRUE(events.empty());
}

TEST_F(TimeZoneServiceTest, ChangeCachesAndPublishesOnceOrReturnsTheBackendsError) {
    auto service = make_service();
    backend->set_result = Error::fixed("Unknown IANA timezone: Mars/Olympus");
    Status failed = service->change_time_zone("Mars/Olympus");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "Unknown IANA timezone: Mars/Olympus");
    EXPECT_EQ(*service->current_time_zone(), "Europe/Berlin");
    EXPECT_TRUE(events.empty());

    backend->set_result = Status();
    EXPECT_TRUE(service->change_time_zone("Asia/Tokyo").ok());
    EXPECT_EQ(*service->current_time_zone(), "Asia/Tokyo");
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    EXPECT_EQ(backend->set_calls, (std::vector<std::string>{"Mars/Olympus", "Asia/Tokyo"}));
}

TEST_F(TimeZoneServiceTest, OutsideChangeIsPublishedOnlyWhenItDiffers) {
    auto service = make_service();
    service->on_system_time_zone_changed("Europe/Berlin");
    EXPECT_TRUE(events.empty());
    service->on_system_time_zone_changed("Asia/Tokyo");
    service->on_system_time_zone_changed("Asia/Tokyo");
    EXPECT_EQ(events, std::vector<std::string>{"Asia/Tokyo"});
    EXPECT_EQ(*service->current_time_zone(), "Asia/Tokyo");
    EXPECT_TRUE(backend->set_calls.empty());
}

TEST_F(TimeZoneServiceTest, HandlerMayAskTheServiceForTheNewZone) {
    auto service = make_service();
    std::string seen_by_handler;
    dispatcher->subscribe<TimeZoneChanged>(
        [&](const TimeZoneChanged&) { seen_by_handler = *service->current_time_zone(); });
    ASSERT_TRUE(service->change_time_zone("Asia/Tokyo").ok());
    EXPECT_EQ(seen_by_handler, "Asia/Tokyo");
}

TEST_F(TimeZoneServiceTest, ConcurrentCallersSeeEveryChangeInOrder) {
    auto service = make_service();
    constexpr int kRounds = 200;
    std::thread changer([&] {
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_TRUE(service->change_time_zone(i % 2 == 0 ? "Asia/Tokyo" : "UTC").ok());
        }
    });
    std::thread monitor([&] {
        for (int i = 0; i < kRounds; ++i) {
            service->on_system_time_zone_changed(i % 2 == 0 ? "America/Lima" : "UTC");
            const std::string current = *service->current_time_zone();
            EXPECT_FALSE(current.empty());
        }
    });
    changer.join();
    monitor.join();
    // Each published name differs from the one before it, and the last one is the cache.
    const std::string current = *service->current_time_zone();
    std::lock_guard lock(events_mutex);
    ASSERT_FALSE(events.empty());
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_NE(events[i], events[i - 1]) << i;
    }
    EXPECT_EQ(events.back(), current);
}

}  // namespace
}  // namespace voxapp
