#include "instruments/device_count_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/temp_dir.hpp"
#include "system/events/system_events.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;

class DeviceCountStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::shared_ptr<EventDispatcher>(std::move(*EventDispatcher::create()));
        dispatcher_->subscribe<DeviceCountChanged>(
            [this](const DeviceCountChanged& event) { published_.push_back(event.count); });
    }
    std::string path() const { return dir_ / "numberOfDevices"; }

    test::TempDir dir_;
    std::shared_ptr<EventDispatcher> dispatcher_;
    std::vector<int> published_;
};

TEST_F(DeviceCountStoreTest, MissingFileFailsEveryOperationAndIsNeverCreated) {
    DeviceCountStore store(path(), dispatcher_);
    EXPECT_EQ(store.get().error().code(), ENOENT);
    EXPECT_EQ(store.set(1).error().code(), ENOENT);
    EXPECT_EQ(store.increment().error().code(), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_TRUE(published_.empty());
}

TEST_F(DeviceCountStoreTest, SetWritesWithoutLineEndAndPublishesOnlyChanges) {
    test::write_file(path(), "0");
    DeviceCountStore store(path(), dispatcher_);
    ASSERT_TRUE(store.set(0).ok());  // same value: nothing written, nothing published
    ASSERT_TRUE(store.set(3).ok());
    ASSERT_TRUE(store.increment().ok());
    EXPECT_EQ(test::read_file(path()), "4");
    EXPECT_EQ(*store.get(), 4u);
    ASSERT_TRUE(store.set(260).ok());  // the event carries the low 8 bits
    EXPECT_THAT(published_, ElementsAre(3, 4, 4));
}

TEST_F(DeviceCountStoreTest, ReadsLeniently) {
    DeviceCountStore store(path(), dispatcher_);
    test::write_file(path(), "");
    EXPECT_EQ(*store.get(), 0u);
    test::write_file(path(), "12\n");
    EXPECT_EQ(*store.get(), 12u);
}

}  // namespace
}  // namespace voxapp
