#include "instruments/device_manager.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "support/recording_logger.hpp"
#include "support/temp_dir.hpp"
#include "system/events/system_events.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;

class ScriptedDevice : public Device {
public:
    explicit ScriptedDevice(std::uint32_t serial) : serial_(serial) {}
    std::uint32_t serial_number() const override { return serial_; }
    std::uint8_t device_class() const override { return kRouterUnitDeviceClass; }
    bool has_gps_tracker() const override { return false; }
    void enqueue_command(std::string, ReplyCallback, CommandExpiry) override {}
    bool try_lock_for(std::chrono::milliseconds) override { return true; }
    void unlock() override {}
    Status write_data(const char*, std::size_t) override { return {}; }
    Result<std::size_t> read_data(char*, std::size_t) override { return Error::from_errno(EIO); }
    Status process() override {
        ++passes;
        if (on_process) {
            on_process();
        }
        return result;
    }
    void tick(float) override {}
    int subscribe_messages(MessageCallback) override { return 0; }
    void unsubscribe_messages(int) override {}

    int passes = 0;
    Status result;
    std::function<void()> on_process;

private:
    std::uint32_t serial_;
};

class CountingComponent : public LinkComponent {
public:
    void start() override { ++starts; }
    void stop() override { ++stops; }
    int starts = 0;
    int stops = 0;
};

class DeviceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::shared_ptr<EventDispatcher>(std::move(*EventDispatcher::create()));
        count_ = std::make_shared<DeviceCountStore>(dir_ / "numberOfDevices", dispatcher_);
        settings_.components = {{ComponentId::remote_connection, false}};
    }

    std::unique_ptr<DeviceManager> make_manager() {
        auto manager = std::make_unique<DeviceManager>(
            logger_, count_, 777,
            [this] {
                unit_ = std::make_shared<ScriptedDevice>(777);
                ++units_made_;
                return unit_;
            },
            [this](std::shared_ptr<Device> device) {
                DeviceLink::Factories factories;
                factories.connection = [this](const ServerEndpoint&, std::shared_ptr<Logger>,
                                              RemoteLinkHandler&) {
                    component_ = std::make_shared<CountingComponent>();
                    return component_;
                };
                return std::make_unique<DeviceLink>(device, settings_, logger_, factories);
            });
        DeviceManager* raw = manager.get();
        dispatcher_->subscribe<DeviceCountChanged>(
            [raw](const DeviceCountChanged& event) { raw->set_self_registered(event.count); });
        return manager;
    }

    test::TempDir dir_;
    Settings settings_;
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
    std::shared_ptr<EventDispatcher> dispatcher_;
    std::shared_ptr<DeviceCountStore> count_;
    std::shared_ptr<ScriptedDevice> unit_;
    std::shared_ptr<CountingComponent> component_;
    int units_made_ = 0;
};

TEST_F(DeviceManagerTest, CountZeroRegistersTheRouterUnitWithAStartedLink) {
    test::write_file(dir_ / "numberOfDevices", "0");
    auto manager = make_manager();
    manager->start();
    EXPECT_TRUE(manager->has_device(777));
    ASSERT_NE(component_, nullptr);
    EXPECT_EQ(component_->starts, 1);
    EXPECT_TRUE(logger_->contains("[DeviceManager] Registering self as a device"));
}

TEST_F(DeviceManagerTest, MissingOrNonZeroCountRegistersNothing) {
    auto manager = make_manager();
    manager->start();
    EXPECT_EQ(manager->device_count(), 0u);
    test::write_file(dir_ / "numberOfDevices", "2");
    manager->start();
    EXPECT_EQ(manager->device_count(), 0u);
}

TEST_F(DeviceManagerTest, CountChangesDeregisterAndRegisterAgain) {
    test::write_file(dir_ / "numberOfDevices", "0");
    auto manager = make_manager();
    manager->start();
    auto first_component = component_;
    ASSERT_TRUE(count_->set(1).ok());
    EXPECT_FALSE(manager->has_device(777));
    EXPECT_EQ(first_component->stops, 1);
    EXPECT_TRUE(logger_->contains("[DeviceManager] Deregistering self as a device"));
    ASSERT_TRUE(count_->set(0).ok());
    EXPECT_TRUE(manager->has_device(777));
    manager->set_self_registered(0);  // already registered: nothing new
    EXPECT_EQ(units_made_, 2);
}

TEST_F(DeviceManagerTest, ProcessAllLogsErrorsButNotTryAgain) {
    test::write_file(dir_ / "numberOfDevices", "0");
    auto manager = make_manager();
    manager->start();
    unit_->result = Error::from_errno(EAGAIN);
    manager->process_all(0.01f);
    unit_->result = Error::fixed("Command string should end with ;");
    manager->process_all(0.01f);
    EXPECT_EQ(unit_->passes, 2);
    EXPECT_THAT(logger_->lines().back(),
                ::testing::Pair(LogLevel::error, "Error processing device: 0"));
    EXPECT_FALSE(logger_->contains("Error processing device: 11"));
}

TEST_F(DeviceManagerTest, DeviceLeavingTheTableDuringItsOwnPassIsSafe) {
    test::write_file(dir_ / "numberOfDevices", "0");
    auto manager = make_manager();
    manager->start();
    auto unit = unit_;
    unit->on_process = [this] { (void)count_->set(3); };
    manager->process_all(0.01f);
    EXPECT_FALSE(manager->has_device(777));
    EXPECT_EQ(unit->passes, 1);
}

}  // namespace
}  // namespace voxapp
