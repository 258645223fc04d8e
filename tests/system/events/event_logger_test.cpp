#include "system/events/event_logger.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/recording_logger.hpp"
#include "system/events/events.hpp"

namespace voxapp {
namespace {

using Lines = std::vector<std::pair<LogLevel, std::string>>;

const Uuid camera_id(Uuid::Octets{0x01, 0x8f, 0x3a, 0xbc, 0xde, 0xf0, 0x7a, 0x0b, 0x9c, 0x1d, 0xe2,
                                  0x3f, 0x45, 0x67, 0x89, 0xab});
const std::string camera_text = "018f3abc-def0-7a0b-9c1d-e23f456789ab";

class EventLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::move(EventDispatcher::create()).value();
        subscribe_event_logger(*dispatcher_, logger_);
    }

    std::unique_ptr<EventDispatcher> dispatcher_;
    std::shared_ptr<test::RecordingLogger> logger_ = std::make_shared<test::RecordingLogger>();
};

TEST_F(EventLoggerTest, StorageLinesNameKindDeviceMountPointAndSizes) {
    MountedStorage usb{"/dev/sda1", StorageKind::USB, "/dev/sda1",
                       "/mnt/sda1", 31914983424,      1048576};
    dispatcher_->publish(StorageMounted{usb});
    dispatcher_->publish(StorageUnmounted{usb});

    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    MountedStorage odd{"/dev/x", static_cast<StorageKind>(9), "/dev/x", "/", max, 0};
    dispatcher_->publish(StorageMounted{odd});
    odd.kind = StorageKind::Unknown;
    dispatcher_->publish(StorageMounted{odd});
    odd.kind = StorageKind::Internal;
    dispatcher_->publish(StorageUnmounted{odd});
    odd.kind = StorageKind::MMC;
    dispatcher_->publish(StorageMounted{odd});

    EXPECT_EQ(logger_->lines(),
              (Lines{
                  {LogLevel::info, "Mounted USB: /dev/sda1 on /mnt/sda1 (1048576B/31914983424B)"},
                  {LogLevel::info, "Unmounted USB: /dev/sda1 on /mnt/sda1 (1048576B/31914983424B)"},
                  {LogLevel::info, "Mounted Invalid: /dev/x on / (0B/18446744073709551615B)"},
                  {LogLevel::info, "Mounted Unknown: /dev/x on / (0B/18446744073709551615B)"},
                  {LogLevel::info, "Unmounted Internal: /dev/x on / (0B/18446744073709551615B)"},
                  {LogLevel::info, "Mounted MMC: /dev/x on / (0B/18446744073709551615B)"},
              }));
}

TEST_F(EventLoggerTest, SerialDeviceLinesCarryTheDevicePath) {
    const std::string path = "/devices/platform/ehci/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0";
    dispatcher_->publish(SerialDeviceConnected{"ttyUSB0", path});
    dispatcher_->publish(SerialDeviceDisconnected{"ttyUSB0", path});

    EXPECT_EQ(logger_->lines(), (Lines{
                                    {LogLevel::info, "Connected serial device: " + path},
                                    {LogLevel::info, "Disconnected serial device: " + path},
                                }));
}

TEST_F(EventLoggerTest, CameraLinesCarryTheIdTextAndOnlyAFailedProvisioningWarns) {
    dispatcher_->publish(CameraWentOnline{camera_id});
    dispatcher_->publish(CameraWentOffline{camera_id});
    dispatcher_->publish(CameraCredentialsInvalidated{camera_id});
    dispatcher_->publish(CameraProvisioned{camera_id});
    dispatcher_->publish(CameraProvisioningFailed{camera_id});

    EXPECT_EQ(logger_->lines(),
              (Lines{
                  {LogLevel::info, "Camera went online (ID: " + camera_text + ")"},
                  {LogLevel::info, "Camera went offline (ID: " + camera_text + ")"},
                  {LogLevel::info, "Camera credentials were invalidated (ID: " + camera_text + ")"},
                  {LogLevel::info, "Camera was provisioned (ID: " + camera_text + ")"},
                  {LogLevel::warning, "Camera provisioning has failed (ID: " + camera_text + ")"},
              }));
}

TEST_F(EventLoggerTest, EventsWithoutALineLogNothing) {
    const Ipv4Address ip(192, 168, 1, 20);
    const MacAddress mac(MacAddress::Octets{0x02, 0, 0, 0x11, 0x22, 0x33});
    dispatcher_->publish(PartitionAdded{"sda1"});
    dispatcher_->publish(PartitionRemoved{"sda1"});
    dispatcher_->publish(DeviceCountChanged{3});
    dispatcher_->publish(TimeZoneChanged{"Europe/Berlin"});
    dispatcher_->publish(CameraDiscovered{camera_id, mac, ip});
    dispatcher_->publish(CameraCredentialsSet{camera_id, "admin", "secret"});
    dispatcher_->publish(CameraIpChanged{camera_id, ip});
    dispatcher_->publish(ClientCreated{42, "user", "pass"});
    dispatcher_->publish(ClientCredentialsChanged{42, "user", "pass2"});
    dispatcher_->publish(ClientRemoved{42, "user", "pass2"});

    EXPECT_TRUE(logger_->lines().empty());
    EXPECT_EQ(dispatcher_->type_count(), 9u);
}

TEST_F(EventLoggerTest, LinesFollowEarlierAndPrecedeLaterSubscriptions) {
    auto dispatcher = std::move(EventDispatcher::create()).value();
    auto logger = std::make_shared<test::RecordingLogger>();
    dispatcher->subscribe<CameraWentOnline>(
        [&](const CameraWentOnline&) { logger->debug("before"); });
    subscribe_event_logger(*dispatcher, logger);
    dispatcher->subscribe<CameraWentOnline>(
        [&](const CameraWentOnline&) { logger->debug("after"); });

    dispatcher->publish(CameraWentOnline{camera_id});
    EXPECT_EQ(logger->texts(),
              (std::vector<std::string>{"before", "Camera went online (ID: " + camera_text + ")",
                                        "after"}));
}

}  // namespace
}  // namespace voxapp
