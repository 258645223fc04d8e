#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/version_info.hpp"
#include "platform/gps_source.hpp"
#include "platform/storage_lister.hpp"
#include "platform/time_zone_service.hpp"
#include "server/command.hpp"
#include "server/device.hpp"
#include "server/unit_request_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// The router itself as a unit of the server (unit type 208, device class 11): it queues the
// commands of its connection and answers one per `process` call, on the main loop thread.
// The queue holds at most kMaxQueuedCommands commands: a server that sends faster than the main
// loop answers cannot grow the daemon's memory without limit. A command that finds the queue
// full is dropped without a reply; the first of each such burst is logged at ERROR.
class RouterUnit : public Device {
public:
    static constexpr std::size_t kMaxQueuedCommands = 64;

    struct Services {
        std::shared_ptr<GpsSource> gps;
        std::shared_ptr<StorageLister> storage;
        std::shared_ptr<TimeZoneService> time_zone;
        std::shared_ptr<UnitRequestHandler> requests;
    };

    RouterUnit(std::uint32_t serial_number, VersionInfo version, std::shared_ptr<Logger> logger,
               Services services);

    std::uint32_t serial_number() const override { return serial_number_; }
    std::uint8_t device_class() const override { return kRouterUnitDeviceClass; }
    bool has_gps_tracker() const override { return false; }
    // Thread-safe; called on the connection's worker thread.
    void enqueue_command(std::string text, ReplyCallback reply, CommandExpiry expiry) override;
    // Nothing else takes it for long: one try is enough.
    bool try_lock_for(std::chrono::milliseconds) override { return device_mutex_.try_lock(); }
    void unlock() override { device_mutex_.unlock(); }
    Status write_data(const char*, std::size_t) override { return {}; }
    Result<std::size_t> read_data(char*, std::size_t) override {
        return Error::fixed("QM208 does not support read_data() yet");
    }
    // Answers the oldest queued command. A command that does not parse is dropped without a
    // reply and its parse error returned.
    Status process() override;
    void tick(float) override {}
    // Ready while commands wait (one is answered per process), idle otherwise.
    DeviceActivity activity() const override;
    int subscribe_messages(MessageCallback) override { return 0; }
    void unsubscribe_messages(int) override {}

    // The reply to one parsed command.
    Result<std::string> answer(const Command& command);

private:
    struct Entry {
        std::string text;
        ReplyCallback reply;
    };

    std::string identity_reply(const Command& command);
    Result<std::string> seven_reply(const Command& command);
    std::string time_zone_reply(const std::vector<std::string>& parameters);
    std::string storage_reply(const std::string& word);

    const std::uint32_t serial_number_;
    const VersionInfo version_;
    std::shared_ptr<Logger> logger_;
    Services services_;
    std::mutex device_mutex_;
    mutable std::mutex queue_mutex_;
    std::deque<Entry> queue_;
    std::size_t refused_ = 0;  // commands dropped since the queue last had room
};

}  // namespace voxapp
